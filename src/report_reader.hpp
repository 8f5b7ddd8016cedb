// Reading one report: opened, read and scanned, with no output. Reading and
// the writing of a report's lines are apart, so that reports can be read on
// other threads while the run writes them in order.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "platform.hpp"
#include "scan_core.hpp"
#include "tallies.hpp"

enum class read_outcome { whole, changed, failed };

struct report_reading {
    read_outcome outcome = read_outcome::whole;
    std::string reason;      // why it failed
    std::uint64_t size = 0;  // the size it shows: the size read to, or for one not opened its size on disk
    scan_counts counts{};
    // Of a report that may be mid-write, the bytes read in one number, so
    // that two readings that saw different bytes are told apart even where
    // their figures agree. 0 for any other.
    std::uint64_t digest = 0;
};

// Where a reading stands, for the progress line: written by the reader, read
// by the thread that writes the report's lines.
struct reading_progress {
    std::atomic<bool> opened{false};
    std::atomic<std::uint64_t> size{0};
    std::atomic<std::uint64_t> done{0};
};

// One reader's own buffer: a piece of a report, and the bytes after it that a
// chunk needs to finish what its end cut off. A piece of 256 KiB is still in
// the processor's second-level cache when it is scanned after the read that
// copied it there; 1 MiB pieces took 8% longer on one processor.
inline constexpr std::size_t piece_size = 256 << 10;
inline constexpr std::size_t overhang_size = 64;
struct content_buffer {
    alignas(64) unsigned char bytes[piece_size + overhang_size];
    part_cells cells;  // a chunk's, between its two passes
};
static_assert(piece_size <= part_cells::most_bytes);

// The steps of reading a report, for whoever decides how it is read: open it,
// read it whole on one thread or in chunks on several, and close it, which
// tells whether it changed while it was read. No step writes anything.

// Opens the entry's report and tells progress its size; for a report that
// cannot be opened, unreadable gives the reading that says why.
platform::result<platform::opened_report> open_for_reading(const report_entry& entry, reading_progress& progress);
report_reading unreadable(const report_entry& entry, const std::string& reason);

// A report changed shortly before its open may be in the middle of being
// written: a write already under way at the open, or one within a tick of a
// coarse clock, leaves no trace in the look after the read. Such a report is
// read a second time, after a pause in which a writer still at work would
// have moved on and shown in the look (time_before_reading_again), and
// confirmed keeps the first reading only if the second agrees with it, in
// its figures and its digest, else it changed while it was read.
bool may_be_mid_write(const platform::opened_report& report);
std::chrono::nanoseconds time_before_reading_again(const platform::report_version& version);
report_reading confirmed(report_reading first, const report_reading& second);

// Reads the report from its start to the size the open found, a piece after
// another on this thread, and scans it.
report_reading read_in_pieces(const platform::opened_report& report, content_buffer& buffer,
                              reading_progress& progress);

// A large report read in chunks by several threads side by side. Each chunk
// first lists its cells, whose count tells the next chunk where it stands in
// the nine-cell cycle; then, its own place known, it is scanned from those
// lists and finished with the bytes after it. Chunks are taken in order, and
// a chunk lists before it waits for the one before it, so no thread waits on
// one that waits. One lock guards what the threads share.
class chunked_reading {
public:
    chunked_reading(const platform::opened_report& report, reading_progress& progress,
                    std::size_t chunk_size = piece_size);
    // Reads and scans chunks until none is left to start.
    void help(content_buffer& buffer);
    // None is left once a chunk failed: the report's reading has failed, and
    // the chunks after it are not read.
    bool has_chunks_left();
    // The report's reading, once every thread has returned from help().
    report_reading result();

private:
    std::optional<std::uint64_t> next_chunk();
    void read_chunk(std::uint64_t chunk, content_buffer& buffer);

    const platform::report_handle report_;
    const std::uint64_t size_;
    const std::size_t chunk_size_;  // at most piece_size
    const std::uint64_t chunk_count_;
    reading_progress& progress_;
    const bool digest_wanted_;

    std::mutex lock_;
    std::condition_variable counted_;  // a chunk's count handed on
    std::uint64_t next_chunk_ = 0;
    bool failed_ = false;
    // The count is handed from chunk to chunk in order: cells_before_ belongs
    // to the chunk whose number counted_chunks_ holds.
    std::uint64_t counted_chunks_ = 0;
    std::uint64_t cells_before_ = 0;
    report_reading result_;
};

// Reports read a batch at a time: every report is opened, and each one smaller
// than a slot of the buffer is read with one read (two, if it may be mid-write),
// looked at, closed and scanned here, all of them side by side (see
// platform::open_reports). A larger one is left open, for read_in_pieces or a
// chunked_reading and then close_after_reading. One that could not be opened
// for want of file descriptors is left to be read alone, once the caller has
// closed the rest.
inline constexpr std::size_t batch_most = 32;
inline constexpr std::size_t batch_slot_size = piece_size / batch_most;
struct batch_reading {
    report_reading reading;                             // of one read here
    std::optional<platform::opened_report> still_open;  // of one left to the caller
    bool read_alone = false;                            // of one not opened here
};
void read_batch(std::span<const report_entry* const> entries, std::span<reading_progress* const> progress,
                content_buffer& buffer, std::span<batch_reading> readings);

// Closes the report after its reading; a report whose size or times differ
// from the open's changed while it was read.
report_reading close_after_reading(const platform::opened_report& report, report_reading reading);
