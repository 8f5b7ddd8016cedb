#include "report_reader.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

// Reads up to n bytes at offset, as many reads as it takes; fewer only at the
// end of the file.
platform::result<std::size_t> read_fully_at(platform::report_handle report, unsigned char* bytes, std::size_t n,
                                            std::uint64_t offset) {
    std::size_t got = 0;
    while (got < n) {
        const auto part = platform::read_report_at(report, bytes + got, n - got, offset + got);
        if (!part) return part;
        if (*part == 0) break;
        got += *part;
    }
    return got;
}

report_reading failed_reading(std::uint64_t size, const std::string& reason) {
    report_reading reading;
    reading.outcome = read_outcome::failed;
    reading.reason = reason;
    reading.size = size;
    return reading;
}

void note_opened(const platform::opened_report& report, reading_progress& progress) {
    progress.size.store(report.version.size, std::memory_order_relaxed);
    progress.opened.store(true, std::memory_order_release);
}

// A read that asked for more than was left of the size found at the open
// shows where the report ends: elsewhere than at that size, it changed.
bool ends_elsewhere(std::size_t got, std::size_t asked, std::uint64_t left) {
    return got > left || (got < asked && got != left);
}

// A whole reading stays whole only if the look after it finds the version
// the open found.
void check_against_look(report_reading& reading, const platform::report_version& at_open,
                        const platform::result<platform::report_version>& look) {
    if (reading.outcome == read_outcome::whole && (!look || !(*look == at_open)))
        reading.outcome = read_outcome::changed;
}

// The bytes at an offset in one number. Parts add up, in any order, to the
// digest of the whole, so that pieces and chunks give the same.
std::uint64_t digest_of(const unsigned char* bytes, std::size_t n, std::uint64_t offset) {
    constexpr std::uint64_t multiplier = 0x9E3779B97F4A7C15;
    std::uint64_t h = (offset + 1) * multiplier;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        h = (h ^ word) * multiplier;
        h ^= h >> 29;
    }
    for (; i < n; ++i) h = (h ^ bytes[i]) * multiplier;
    h ^= h >> 32;
    return h * multiplier;
}

bool same_counts(const scan_counts& a, const scan_counts& b) {
    return a.connections == b.connections && a.uploads == b.uploads && a.downloads == b.downloads;
}

// The bytes of one read, scanned as a whole report of the size the open
// found: whole, or changed where the read ended elsewhere.
report_reading scanned_start(const unsigned char* bytes, std::size_t got, std::size_t asked, std::uint64_t size,
                             bool digest_wanted) {
    report_reading reading;
    reading.size = size;
    scan_state state;
    scan_start(state);
    const std::size_t taken = got < size ? got : static_cast<std::size_t>(size);
    scan_piece(state, bytes, taken);
    reading.counts = scan_finish(state);
    if (digest_wanted) reading.digest = digest_of(bytes, taken, 0);
    if (ends_elsewhere(got, asked, size)) reading.outcome = read_outcome::changed;
    return reading;
}

constexpr std::int64_t one_second = 1000000000;  // in nanoseconds, as the stamps are

// A file system that stamps whole seconds (ext4 with small inodes, FAT, many
// network shares) shows no change within the second of its last stamp.
bool stamped_in_whole_seconds(const platform::report_version& version) {
    return version.modified % one_second == 0 && version.changed % one_second == 0;
}
}  // namespace

// Two seconds cover a writer's pauses between its own writes and the ticks
// of the clocks that stamp them; where a file system stamps whole seconds
// (or two, as FAT does), two seconds more cover what its stamps leave out.
// A change stamped later than the open (another machine's clock, on a
// network share) is recent too. A report behind a cache may have changed at
// any time for all its looks can tell.
bool may_be_mid_write(const platform::opened_report& report) {
    if (report.behind_a_cache) return true;
    const std::int64_t window = (stamped_in_whole_seconds(report.version) ? 4 : 2) * one_second;
    return report.version.changed > report.opened_at - window;
}

// A tenth of a second between the two readings is many times what a writer
// that is not held up takes between two of its writes, even on a busy
// machine. Where stamps are whole seconds, the look after the second reading
// must also come in a later second than the last stamp, so that a writer
// still at work shows in it; no more than two seconds, whatever the clock.
std::chrono::nanoseconds time_before_reading_again(const platform::report_version& version) {
    const std::chrono::nanoseconds settle = std::chrono::milliseconds(100);
    if (!stamped_in_whole_seconds(version)) return settle;
    const std::int64_t now = std::chrono::nanoseconds(std::chrono::system_clock::now().time_since_epoch()).count();
    const std::int64_t next_stamp = (version.changed / one_second + 1) * one_second;
    const std::chrono::nanoseconds until_then(next_stamp > now ? next_stamp - now : 0);
    return std::min<std::chrono::nanoseconds>(until_then + settle, std::chrono::seconds(2));
}

report_reading confirmed(report_reading first, const report_reading& second) {
    if (first.outcome != read_outcome::whole) return first;
    if (second.outcome == read_outcome::failed) return failed_reading(first.size, second.reason);
    if (second.outcome != read_outcome::whole || !same_counts(first.counts, second.counts) ||
        first.digest != second.digest)
        first.outcome = read_outcome::changed;
    return first;
}

platform::result<platform::opened_report> open_for_reading(const report_entry& entry, reading_progress& progress) {
    auto report = platform::open_report(entry);
    if (report) note_opened(*report, progress);
    return report;
}

report_reading unreadable(const report_entry& entry, const std::string& reason) {
    return failed_reading(platform::unreadable_report_size(entry), reason);
}

report_reading read_in_pieces(const platform::opened_report& report, content_buffer& buffer,
                              reading_progress& progress) {
    const std::uint64_t size = report.version.size;
    scan_state state;
    scan_start(state);
    report_reading reading;
    reading.size = size;
    const bool digest_wanted = may_be_mid_write(report);
    // Every read asks for the whole buffer, so that a report that grew shows
    // it at once and one smaller than the buffer takes a single read, which
    // ends at the report's end.
    bool end_seen = false;
    for (std::uint64_t remaining = size; !end_seen;) {
        const auto got = platform::read_report_at(report.handle, buffer.bytes, piece_size, size - remaining);
        if (!got) {
            reading.outcome = read_outcome::failed;
            reading.reason = got.reason();
            break;
        }
        const std::size_t taken = *got < remaining ? *got : static_cast<std::size_t>(remaining);
        scan_piece(state, buffer.bytes, taken);
        if (digest_wanted) reading.digest += digest_of(buffer.bytes, taken, size - remaining);
        if (ends_elsewhere(*got, piece_size, remaining)) {
            reading.outcome = read_outcome::changed;
            break;
        }
        remaining -= taken;
        progress.done.store(size - remaining, std::memory_order_relaxed);
        end_seen = *got < piece_size;
    }
    reading.counts = scan_finish(state);
    return reading;
}

chunked_reading::chunked_reading(const platform::opened_report& report, reading_progress& progress,
                                 std::size_t chunk_size)
    : report_(report.handle),
      size_(report.version.size),
      chunk_size_(chunk_size < piece_size ? chunk_size : piece_size),
      chunk_count_((size_ + chunk_size_ - 1) / chunk_size_),
      progress_(progress),
      digest_wanted_(may_be_mid_write(report)) {
    result_.size = size_;
}

bool chunked_reading::has_chunks_left() {
    const std::lock_guard<std::mutex> hold(lock_);
    return !failed_ && next_chunk_ < chunk_count_;
}

std::optional<std::uint64_t> chunked_reading::next_chunk() {
    const std::lock_guard<std::mutex> hold(lock_);
    if (failed_ || next_chunk_ == chunk_count_) return std::nullopt;
    return next_chunk_++;
}

void chunked_reading::help(content_buffer& buffer) {
    while (const auto chunk = next_chunk()) read_chunk(*chunk, buffer);
}

void chunked_reading::read_chunk(std::uint64_t chunk, content_buffer& buffer) {
    const std::uint64_t offset = chunk * chunk_size_;
    const std::uint64_t left = size_ - offset;
    const std::size_t length = left < chunk_size_ ? static_cast<std::size_t>(left) : chunk_size_;
    // The chunk and the bytes after it, never past the size found at the open.
    const std::size_t after = left - length < overhang_size ? static_cast<std::size_t>(left - length) : overhang_size;
    const auto got = read_fully_at(report_, buffer.bytes, length + after, offset);
    const std::size_t have = got ? *got : 0;
    const bool short_read = got && have < length + after;
    const std::size_t scanned = have < length ? have : length;
    // Cells beginning in the chunk, with the two bytes after it to see the last ones whole.
    const std::uint64_t cells =
        list_part(buffer.cells, buffer.bytes, scanned, scanned + (have - scanned < 2 ? have - scanned : 2));

    std::uint64_t before = 0;
    {
        std::unique_lock<std::mutex> hold(lock_);
        if (!got) failed_ = true;  // so that no other thread starts another chunk
        counted_.wait(hold, [&] { return counted_chunks_ == chunk; });
        before = cells_before_;
        cells_before_ = before + cells;
        ++counted_chunks_;
    }
    counted_.notify_all();

    scan_state state;
    scan_start_at_cell(state, before);
    scan_listed_part(state, buffer.cells, buffer.bytes, scanned);
    bool finished = scan_overhang(state, buffer.bytes + scanned, have - scanned);
    // A number still running on past the bytes read with the chunk: the rest of it, a little at a time.
    for (std::uint64_t at = offset + have; !finished && at < size_ && got;) {
        unsigned char more[overhang_size];
        const std::size_t wanted = size_ - at < overhang_size ? static_cast<std::size_t>(size_ - at) : overhang_size;
        const auto part = read_fully_at(report_, more, wanted, at);
        if (!part || *part == 0) break;
        finished = scan_overhang(state, more, *part);
        at += *part;
    }
    const scan_counts counts = scan_finish(state);
    const std::uint64_t digest = digest_wanted_ ? digest_of(buffer.bytes, scanned, offset) : 0;
    progress_.done.fetch_add(scanned, std::memory_order_relaxed);

    std::lock_guard<std::mutex> hold(lock_);
    result_.counts += counts;
    result_.digest += digest;
    if (!got && result_.outcome != read_outcome::failed) {
        result_.outcome = read_outcome::failed;
        result_.reason = got.reason();
    } else if (short_read && result_.outcome == read_outcome::whole) {
        result_.outcome = read_outcome::changed;
    }
}

report_reading chunked_reading::result() {
    const std::lock_guard<std::mutex> hold(lock_);
    return result_;
}

void read_batch(std::span<const report_entry* const> entries, std::span<reading_progress* const> progress,
                content_buffer& buffer, std::span<batch_reading> readings) {
    const auto opened = platform::open_reports(entries);
    std::array<platform::start_read, batch_most> reads{};
    std::array<platform::opened_report, batch_most> read_reports{};
    std::array<std::size_t, batch_most> read_for{};  // the entry of each read
    std::size_t count = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        readings[i] = batch_reading{};
        if (!opened[i]) {
            if (opened[i].too_many_open_files())
                readings[i].read_alone = true;
            else
                readings[i].reading = unreadable(*entries[i], opened[i].reason());
            continue;
        }
        note_opened(*opened[i], *progress[i]);
        if (opened[i]->version.size < batch_slot_size && count < batch_most) {
            reads[count] = {opened[i]->handle, buffer.bytes + count * batch_slot_size, batch_slot_size};
            read_reports[count] = *opened[i];
            read_for[count++] = i;
        } else {
            readings[i].still_open = *opened[i];
        }
    }
    // The reports' starts, then again those that may be mid-write, each
    // scanned as it comes; then each one's look after its reads, and its close.
    const auto got = platform::read_report_starts({reads.data(), count});
    std::array<platform::start_read, batch_most> again{};
    std::array<std::size_t, batch_most> again_for{};
    std::size_t again_count = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const platform::opened_report& report = *opened[read_for[k]];
        report_reading& reading = readings[read_for[k]].reading;
        const bool again_wanted = may_be_mid_write(report);
        reading = got[k] ? scanned_start(reads[k].buffer, *got[k], batch_slot_size, report.version.size, again_wanted)
                         : failed_reading(report.version.size, got[k].reason());
        if (reading.outcome == read_outcome::whole && again_wanted) {
            again[again_count] = reads[k];
            again_for[again_count++] = k;
        }
    }
    std::chrono::nanoseconds pause(0);
    for (std::size_t a = 0; a < again_count; ++a)
        pause = std::max(pause, time_before_reading_again(opened[read_for[again_for[a]]]->version));
    std::this_thread::sleep_for(pause);
    for (std::size_t a = 0; a < again_count; ++a) platform::forget_cached_bytes(read_reports[again_for[a]]);
    const auto got_again = platform::read_report_starts({again.data(), again_count});
    for (std::size_t a = 0; a < again_count; ++a) {
        const std::size_t k = again_for[a];
        report_reading& reading = readings[read_for[k]].reading;
        reading = confirmed(
            reading, got_again[a] ? scanned_start(again[a].buffer, *got_again[a], batch_slot_size, reading.size, true)
                                  : failed_reading(reading.size, got_again[a].reason()));
    }
    const auto looks = platform::look_and_close_reports({read_reports.data(), count});
    for (std::size_t k = 0; k < count; ++k)
        check_against_look(readings[read_for[k]].reading, opened[read_for[k]]->version, looks[k]);
}

report_reading close_after_reading(const platform::opened_report& report, report_reading reading) {
    check_against_look(reading, report.version, platform::version_of_report(report));
    platform::close_report(report.handle);
    return reading;
}
