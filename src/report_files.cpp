#include "report_files.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

namespace {

// Reports larger than this are read in chunks when other threads can help.
constexpr std::uint64_t chunked_from = 8 << 20;

report_reading out_of_memory() {
    report_reading failed;
    failed.outcome = read_outcome::failed;
    failed.reason = std::strerror(ENOMEM);
    return failed;
}

// A large report's chunks, for the threads of the pool to share.
class shared_chunks final : public shared_reading {
public:
    shared_chunks(const platform::opened_report& report, reading_progress& progress) : chunks_(report, progress) {}
    bool has_work_left() override { return chunks_.has_chunks_left(); }
    void help(content_buffer& buffer) override { chunks_.help(buffer); }
    report_reading result() override { return chunks_.result(); }

private:
    chunked_reading chunks_;
};

report_reading read_through(const platform::opened_report& report, const claimed_reports& claimed,
                            content_buffer& buffer, reading_progress& progress) {
    const bool large = report.version.size > chunked_from;
    if (large && claimed.can_share())
        return claimed.read_shared(std::make_unique<shared_chunks>(report, progress), buffer);
    return read_in_pieces(report, buffer, progress);
}

// An opened report read whole, once more if it may be mid-write, and closed.
report_reading read_opened(const platform::opened_report& report, const claimed_reports& claimed,
                           content_buffer& buffer, reading_progress& progress) {
    if (report.version.size > chunked_from) platform::expect_reading_through(report.handle);
    report_reading reading = read_through(report, claimed, buffer, progress);
    if (reading.outcome == read_outcome::whole && may_be_mid_write(report)) {
        std::this_thread::sleep_for(time_before_reading_again(report.version));
        progress.done.store(0, std::memory_order_relaxed);
        platform::forget_cached_bytes(report);
        reading = confirmed(std::move(reading), read_through(report, claimed, buffer, progress));
    }
    return close_after_reading(report, std::move(reading));
}

report_reading read_alone(const claimed_reports& claimed, std::size_t k, content_buffer& buffer) {
    const auto report = open_for_reading(claimed.entry(k), claimed.progress(k));
    if (!report) return unreadable(claimed.entry(k), report.reason());
    return read_opened(*report, claimed, buffer, claimed.progress(k));
}

}  // namespace

// The small reports are read side by side and handed over at once, then the
// larger ones in order, then those that found no file descriptor free, each
// alone, once this batch's other files are closed. A report that cannot be
// read for want of memory is one that failed.
void report_files::read(const claimed_reports& claimed, content_buffer& buffer) {
    const std::size_t count = claimed.size();
    std::array<const report_entry*, batch_most> entries{};
    std::array<reading_progress*, batch_most> progress{};
    std::array<batch_reading, batch_most> readings;
    for (std::size_t k = 0; k < count; ++k) {
        entries[k] = &claimed.entry(k);
        progress[k] = &claimed.progress(k);
    }
    try {
        read_batch({entries.data(), count}, {progress.data(), count}, buffer, {readings.data(), count});
    } catch (const std::bad_alloc&) {
        for (std::size_t k = 0; k < count; ++k) readings[k] = {out_of_memory(), std::nullopt};
    }
    std::array<std::size_t, batch_most> read_here{};
    std::array<report_reading, batch_most> read_here_readings;
    std::size_t read_here_count = 0;
    for (std::size_t k = 0; k < count; ++k) {
        if (readings[k].still_open || readings[k].read_alone) continue;
        read_here[read_here_count] = k;
        read_here_readings[read_here_count++] = std::move(readings[k].reading);
    }
    claimed.hand_over({read_here.data(), read_here_count}, {read_here_readings.data(), read_here_count});
    for (const bool alone : {false, true}) {
        for (std::size_t k = 0; k < count; ++k) {
            if (alone ? !readings[k].read_alone : !readings[k].still_open) continue;
            report_reading reading;
            try {
                reading = alone ? read_alone(claimed, k, buffer)
                                : read_opened(*readings[k].still_open, claimed, buffer, claimed.progress(k));
            } catch (const std::bad_alloc&) {
                reading = out_of_memory();
            }
            claimed.hand_over(k, std::move(reading));
        }
    }
}
