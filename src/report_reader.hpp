// Reading one report: opened, read and scanned, with no output. Reading and
// the writing of a report's lines are apart, so that reports can be read on
// other threads while the run writes them in order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform.hpp"
#include "scan_core.hpp"
#include "tallies.hpp"

enum class read_outcome { whole, changed, failed };

struct report_reading {
    read_outcome outcome = read_outcome::whole;
    std::string reason;  // why it failed
    scan_counts counts{};
};

// Where a reading stands, for the progress line: written by the reader, read
// by the thread that writes the report's lines.
// A reader on the writing thread itself calls on_piece after each piece.
struct reading_progress {
    std::atomic<bool> opened{false};
    std::atomic<std::uint64_t> size{0};
    std::atomic<std::uint64_t> done{0};
    std::function<void(const reading_progress&)> on_piece;
};

// One reader's own buffer: a piece of a report, and the bytes after it that a
// chunk needs to finish what its end cut off. A piece of 256 KiB is still in
// the processor's second-level cache when it is scanned after the read that
// copied it there; 1 MiB pieces took 8% longer on one processor.
inline constexpr std::size_t piece_size = 256 << 10;
inline constexpr std::size_t overhang_size = 64;
struct content_buffer {
    alignas(64) unsigned char bytes[piece_size + overhang_size];
};

// A large report read in chunks by several threads side by side. Each chunk
// first counts its cell openers, which tells the next chunk where it stands
// in the nine-cell cycle; then it is scanned, and finished with the bytes
// after it. Chunks are taken in order, and a chunk counts before it waits
// for the one before it, so no thread waits on one that waits.
class chunked_reading {
public:
    chunked_reading(platform::report_handle report, std::uint64_t size, reading_progress& progress,
                    std::size_t chunk_size = piece_size);
    // A thread that will help: called before help(), under the lock of whoever
    // offered the reading, so that finish() cannot return while it still works.
    void join();
    // Reads and scans chunks until none is left.
    void help(content_buffer& buffer);
    bool has_chunks_left() const { return next_chunk_.load() < chunk_count_; }
    // Threads at work on it now (joined and not yet done helping).
    unsigned helpers();
    // Waits for every chunk and every helper; the report's counts.
    report_reading finish();

private:
    void read_chunk(std::uint64_t chunk, content_buffer& buffer);

    const platform::report_handle report_;
    const std::uint64_t size_;
    const std::size_t chunk_size_;  // at most piece_size
    const std::uint64_t chunk_count_;
    reading_progress& progress_;
    std::atomic<std::uint64_t> next_chunk_{0};

    std::mutex lock_;
    std::condition_variable changed_;
    std::uint64_t counted_chunks_ = 0;  // chunks whose cells are in cells_before_
    std::uint64_t cells_before_ = 0;
    std::uint64_t finished_chunks_ = 0;
    unsigned helpers_ = 0;
    report_reading result_;
};

// Threads that may help with a large report: offer() lets them join its
// reading until withdraw().
class reading_helpers {
public:
    virtual void offer(chunked_reading& reading) = 0;
    virtual void withdraw() = 0;

protected:
    ~reading_helpers() = default;
};

// Reads the entry's report from its start to the size the open found, and
// scans it. With helpers, a large report is read in chunks side by side.
report_reading read_report(report_entry& entry, content_buffer& buffer, reading_progress& progress,
                           reading_helpers* helpers);
