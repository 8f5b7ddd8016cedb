#include "report_reader.hpp"

#include <array>

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

}  // namespace

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
    // Every read asks for the whole buffer, so that a report that grew shows
    // it at once and one smaller than the buffer takes a single read, which
    // ends at the report's end: got short of what it asked, and just the size
    // the open found, it is that report whole, as it stood at that read.
    std::size_t reads = 0;
    bool end_seen = false;
    for (std::uint64_t remaining = size; !end_seen;) {
        const auto got = platform::read_report_at(report.handle, buffer.bytes, piece_size, size - remaining);
        ++reads;
        if (!got) {
            reading.outcome = read_outcome::failed;
            reading.reason = got.reason();
            break;
        }
        const std::size_t taken = *got < remaining ? *got : static_cast<std::size_t>(remaining);
        scan_piece(state, buffer.bytes, taken);
        if (ends_elsewhere(*got, piece_size, remaining)) {
            reading.outcome = read_outcome::changed;
            break;
        }
        remaining -= taken;
        progress.done.store(size - remaining, std::memory_order_relaxed);
        end_seen = *got < piece_size;
    }
    reading.counts = scan_finish(state);
    reading.whole_in_one_read = reading.outcome == read_outcome::whole && reads == 1;
    return reading;
}

chunked_reading::chunked_reading(const platform::opened_report& report, reading_progress& progress,
                                 std::size_t chunk_size)
    : report_(report.handle),
      size_(report.version.size),
      chunk_size_(chunk_size < piece_size ? chunk_size : piece_size),
      chunk_count_((size_ + chunk_size_ - 1) / chunk_size_),
      progress_(progress) {
    result_.size = size_;
}

void chunked_reading::join() {
    std::lock_guard<std::mutex> hold(lock_);
    ++helpers_;
}

unsigned chunked_reading::helpers() {
    std::lock_guard<std::mutex> hold(lock_);
    return helpers_;
}

void chunked_reading::help(content_buffer& buffer) {
    for (std::uint64_t chunk; (chunk = next_chunk_.fetch_add(1)) < chunk_count_;) read_chunk(chunk, buffer);
    std::lock_guard<std::mutex> hold(lock_);
    --helpers_;
    changed_.notify_all();
}

// The chunk before hands the count on without the lock. Its thread runs on a
// processor of its own, so the wait is short, and spun first; a thread that
// sleeps counts itself among the waiters before it looks at the count for
// the last time, so the hand-over either sees it and wakes it, or it sees
// the count.
void chunked_reading::wait_for_count(std::uint64_t chunk) {
    constexpr int spins = 1 << 14;
    for (int spin = 0; spin < spins; ++spin)
        if (counted_chunks_.load(std::memory_order_acquire) == chunk) return;
    std::unique_lock<std::mutex> hold(lock_);
    count_waiters_.fetch_add(1);
    changed_.wait(hold, [&] { return counted_chunks_.load() == chunk; });
    count_waiters_.fetch_sub(1);
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

    wait_for_count(chunk);
    const std::uint64_t before = cells_before_;
    cells_before_ = before + cells;
    counted_chunks_.store(chunk + 1);
    if (count_waiters_.load() != 0) {
        std::lock_guard<std::mutex> hold(lock_);
        changed_.notify_all();
    }

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
    progress_.done.fetch_add(scanned, std::memory_order_relaxed);

    std::lock_guard<std::mutex> hold(lock_);
    result_.counts += counts;
    if (!got && result_.outcome != read_outcome::failed) {
        result_.outcome = read_outcome::failed;
        result_.reason = got.reason();
    } else if (short_read && result_.outcome == read_outcome::whole) {
        result_.outcome = read_outcome::changed;
    }
    ++finished_chunks_;
    changed_.notify_all();
}

report_reading chunked_reading::finish() {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [&] { return finished_chunks_ == chunk_count_ && helpers_ == 0; });
    return result_;
}

void read_batch(std::span<const report_entry* const> entries, std::span<reading_progress* const> progress,
                content_buffer& buffer, std::span<batch_reading> readings) {
    const auto opened = platform::open_reports(entries);
    std::array<platform::start_read, batch_most> reads{};
    std::array<platform::report_handle, batch_most> read_reports{};
    std::array<std::size_t, batch_most> read_for{};  // the entry of each read
    std::size_t count = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        readings[i] = batch_reading{};
        if (!opened[i]) {
            readings[i].reading = unreadable(*entries[i], opened[i].reason());
            continue;
        }
        note_opened(*opened[i], *progress[i]);
        if (opened[i]->version.size < batch_slot_size && count < batch_most) {
            reads[count] = {opened[i]->handle, buffer.bytes + count * batch_slot_size, batch_slot_size};
            read_reports[count] = opened[i]->handle;
            read_for[count++] = i;
        } else {
            readings[i].still_open = *opened[i];
        }
    }
    const auto got = platform::read_report_starts({reads.data(), count});
    platform::close_reports({read_reports.data(), count});
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint64_t size = opened[read_for[k]]->version.size;
        report_reading& reading = readings[read_for[k]].reading;
        reading.size = size;
        if (!got[k]) {
            reading = failed_reading(size, got[k].reason());
            continue;
        }
        scan_state state;
        scan_start(state);
        scan_piece(state, reads[k].buffer, *got[k] < size ? *got[k] : static_cast<std::size_t>(size));
        reading.counts = scan_finish(state);
        if (ends_elsewhere(*got[k], batch_slot_size, size))
            reading.outcome = read_outcome::changed;
        else
            reading.whole_in_one_read = true;
    }
}

report_reading close_after_reading(const platform::opened_report& report, report_reading reading) {
    if (reading.outcome == read_outcome::whole && !reading.whole_in_one_read) {
        const auto after = platform::version_of_report(report.handle);
        if (!after || !(*after == report.version)) reading.outcome = read_outcome::changed;
    }
    platform::close_report(report.handle);
    return reading;
}
