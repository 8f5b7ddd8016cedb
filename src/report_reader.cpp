#include "report_reader.hpp"

namespace {

// Reports larger than this are read in chunks when other threads can help.
constexpr std::uint64_t chunked_from = 8 << 20;

// Reads up to n bytes at offset, as many reads as it takes; fewer only at the
// end of the file. -1 on failure.
long long read_fully_at(platform::report_handle report, unsigned char* bytes, std::size_t n, std::uint64_t offset,
                        std::string& reason) {
    std::size_t got = 0;
    while (got < n) {
        const long long part = platform::read_report_at(report, bytes + got, n - got, offset + got, reason);
        if (part < 0) return -1;
        if (part == 0) break;
        got += static_cast<std::size_t>(part);
    }
    return static_cast<long long>(got);
}

void add_counts(scan_counts& into, const scan_counts& more) {
    into.connections += more.connections;
    into.uploads += more.uploads;
    into.downloads += more.downloads;
}

// Reads the report one piece after another on this thread.
read_outcome read_in_pieces(platform::report_handle report, std::uint64_t size, content_buffer& buffer,
                            reading_progress& progress, scan_state& state, std::string& reason) {
    std::uint64_t remaining = size;
    while (remaining > 0) {
        const std::size_t wanted = remaining < piece_size ? static_cast<std::size_t>(remaining) : piece_size;
        const long long got = platform::read_report_at(report, buffer.bytes, wanted, size - remaining, reason);
        if (got < 0) return read_outcome::failed;
        if (got == 0) return read_outcome::changed;  // it ended before the size it had
        scan_piece(state, buffer.bytes, static_cast<std::size_t>(got));
        remaining -= static_cast<std::uint64_t>(got);
        progress.done.store(size - remaining, std::memory_order_relaxed);
        if (progress.on_piece) progress.on_piece(progress);
    }
    return read_outcome::whole;
}

}  // namespace

chunked_reading::chunked_reading(platform::report_handle report, std::uint64_t size, reading_progress& progress,
                                 std::size_t chunk_size)
    : report_(report),
      size_(size),
      chunk_size_(chunk_size < piece_size ? chunk_size : piece_size),
      chunk_count_((size + chunk_size_ - 1) / chunk_size_),
      progress_(progress) {}

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

void chunked_reading::read_chunk(std::uint64_t chunk, content_buffer& buffer) {
    const std::uint64_t offset = chunk * chunk_size_;
    const std::uint64_t left = size_ - offset;
    const std::size_t length = left < chunk_size_ ? static_cast<std::size_t>(left) : chunk_size_;
    // The chunk and the bytes after it, never past the size found at the open.
    const std::size_t after = left - length < overhang_size ? static_cast<std::size_t>(left - length) : overhang_size;
    std::string reason;
    const long long got = read_fully_at(report_, buffer.bytes, length + after, offset, reason);
    const bool short_read = got >= 0 && static_cast<std::uint64_t>(got) < length + after;
    const std::size_t have = got < 0 ? 0 : static_cast<std::size_t>(got);
    const std::size_t scanned = have < length ? have : length;
    // Cells beginning in the chunk, with the two bytes after it to see the last ones whole.
    const std::uint64_t cells = count_cell_openers(buffer.bytes, scanned + (have - scanned < 2 ? have - scanned : 2));

    std::uint64_t before = 0;
    {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [&] { return counted_chunks_ == chunk; });
        before = cells_before_;
        cells_before_ += cells;
        ++counted_chunks_;
        changed_.notify_all();
    }

    scan_state state;
    scan_start_at_cell(state, before);
    scan_piece(state, buffer.bytes, scanned);
    bool finished = scan_overhang(state, buffer.bytes + scanned, have - scanned);
    // A number still running on past the bytes read with the chunk: the rest of it, a little at a time.
    for (std::uint64_t at = offset + have; !finished && at < size_ && got >= 0;) {
        unsigned char more[overhang_size];
        const std::size_t wanted = size_ - at < overhang_size ? static_cast<std::size_t>(size_ - at) : overhang_size;
        const long long part = read_fully_at(report_, more, wanted, at, reason);
        if (part <= 0) break;
        finished = scan_overhang(state, more, static_cast<std::size_t>(part));
        at += static_cast<std::uint64_t>(part);
    }
    const scan_counts counts = scan_finish(state);
    progress_.done.fetch_add(scanned, std::memory_order_relaxed);

    std::lock_guard<std::mutex> hold(lock_);
    add_counts(result_.counts, counts);
    if (got < 0 && result_.outcome != read_outcome::failed) {
        result_.outcome = read_outcome::failed;
        result_.reason = reason;
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

report_reading read_report(report_entry& entry, content_buffer& buffer, reading_progress& progress,
                           reading_helpers* helpers) {
    report_reading reading;
    platform::report_version before{}, after{};
    const platform::report_handle report = platform::open_report(entry, before, reading.reason);
    progress.size.store(entry.size, std::memory_order_relaxed);
    progress.opened.store(true, std::memory_order_release);
    if (report == platform::no_report) {
        reading.outcome = read_outcome::failed;
        return reading;
    }
    if (helpers != nullptr && entry.size > chunked_from) {
        chunked_reading chunks(report, entry.size, progress);
        chunks.join();
        helpers->offer(chunks);
        chunks.help(buffer);
        helpers->withdraw();
        reading = chunks.finish();
    } else {
        scan_state state;
        scan_start(state);
        reading.outcome = read_in_pieces(report, entry.size, buffer, progress, state, reading.reason);
        reading.counts = scan_finish(state);
    }
    // Size or times that differ after the read: it changed while it was read.
    if (reading.outcome == read_outcome::whole && (!platform::version_of_report(report, after) || !(after == before)))
        reading.outcome = read_outcome::changed;
    platform::close_report(report);
    return reading;
}
