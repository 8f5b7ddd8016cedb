#include "reading_pool.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <new>

namespace {
// Reports on hand at once, and how many a worker takes at a time: enough to
// keep every worker busy on small reports, few enough to stay within memory.
constexpr std::size_t slot_count = 512;
constexpr unsigned most_workers = 8;
// Reports larger than this are read in chunks when other threads can help.
constexpr std::uint64_t chunked_from = 8 << 20;
// Open files kept aside from the workers' beside those already open (the
// standard streams, the summary, what the caller left open to the program).
constexpr std::size_t files_kept_aside = 1;
}  // namespace

reading_pool::reading_pool(unsigned processors) : slots_(slot_count), processors_(processors) {
    unsigned wanted = processors < 2 ? 1 : 2 * processors < most_workers ? 2 * processors : most_workers;
    // A worker holds its whole batch open at once, and its ring once it reads
    // batches of more than one: under a low limit on open files, or with many
    // left open by the caller, there are fewer workers and smaller batches,
    // down to one worker reading one report at a time, with no ring.
    const std::size_t allowed = platform::open_files_allowed();
    const std::size_t in_use = platform::open_files_now() + files_kept_aside;
    const std::size_t room = allowed > in_use ? allowed - in_use : 0;
    const std::size_t ring = platform::files_of_a_batch_reader();
    const std::size_t fit = room / (ring + 2);  // workers that get two reports at a time, at least
    if (fit < wanted) wanted = fit < 1 ? 1 : static_cast<unsigned>(fit);
    const std::size_t each = room / wanted;
    batch_size_ = each < ring + 2 ? 1 : each - ring < batch_most ? each - ring : batch_most;
    // A worker that cannot be had (no memory for its buffer or stack, a limit
    // on threads) is no failure: the run goes on with those it has, or with
    // none. Each buffer is made here, so that no worker can fail on its own;
    // room for every worker is kept first, so only a buffer or a start can fail.
    workers_.reserve(wanted);
    buffers_.reserve(wanted);
    for (unsigned i = 0; i < wanted; ++i) {
        try {
            buffers_.push_back(std::make_unique_for_overwrite<content_buffer>());  // untouched pages take no memory
            workers_.emplace_back([this, buffer = buffers_.back().get()] { work(*buffer); });
        } catch (const std::exception&) {  // std::bad_alloc or std::system_error
            if (buffers_.size() > workers_.size()) buffers_.pop_back();
            break;
        }
    }
    // With no worker, the taking thread reads with a buffer of its own.
    if (workers_.empty()) buffers_.push_back(std::make_unique_for_overwrite<content_buffer>());
}

reading_pool::~reading_pool() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    work_ready_.notify_all();
    for (auto& worker : workers_) worker.join();
}

void reading_pool::reset(slot& s) {
    s.reading = report_reading{};
    s.progress.opened.store(false, std::memory_order_relaxed);
    s.progress.size.store(0, std::memory_order_relaxed);
    s.progress.done.store(0, std::memory_order_relaxed);
    s.done.store(false, std::memory_order_relaxed);
}

void reading_pool::give(const report_entry& entry) {
    const std::size_t given = given_.load();
    slot& s = slots_[given % slots_.size()];
    reset(s);
    s.entry = entry;
    given_.store(given + 1);
    // A whole batch, or what there is when the workers have run dry, for a
    // worker that sleeps. A worker counts itself idle before it looks at
    // given_ and sleeps, so it sees this report or is seen here.
    if (idle_workers_.load() == 0) return;
    const std::size_t claimed = claimed_.load();
    if (given + 1 - claimed >= batch_size_ || claimed == taken_.load()) {
        std::lock_guard<std::mutex> hold(lock_);
        work_ready_.notify_one();
    }
}

reading_pool::awaited_report reading_pool::awaited() const {
    const slot& s = slots_[taken_ % slots_.size()];
    return {s.entry, s.progress};
}

std::optional<reading_pool::taken_report> reading_pool::take(std::chrono::milliseconds patience) {
    const std::size_t taken = taken_.load();
    slot& s = slots_[taken % slots_.size()];
    if (workers_.empty()) {
        s.reading = read(s.entry, *buffers_.front(), s.progress);
    } else if (!s.done.load()) {
        std::unique_lock<std::mutex> hold(lock_);
        // Whatever is on hand is worth reading now: the run waits for it.
        if (claimed_.load() < given_.load()) work_ready_.notify_all();
        taker_waits_.store(true);
        const bool done = report_done_.wait_for(hold, patience, [&s] { return s.done.load(); });
        taker_waits_.store(false);
        if (!done) return std::nullopt;
    }
    taken_.store(taken + 1);
    return taken_report{s.entry, s.reading};
}

// The slots up to `upto` have their readings in place. The taking thread set
// taker_waits_ under the lock before it last looked at its slot's done flag,
// so either it sees the flag set, or this sees it waiting and wakes it under
// the lock. It is woken for a batch, not for each report.
void reading_pool::wake_taker_within(std::size_t first, std::size_t upto) {
    if (upto < first || !taker_waits_.load()) return;
    if (const std::size_t awaited = taken_.load(); awaited >= first && awaited <= upto) {
        std::lock_guard<std::mutex> hold(lock_);
        report_done_.notify_all();
    }
}

bool reading_pool::large_report_wants_help() const {
    return large_ != nullptr && large_->has_chunks_left() && large_->helpers() < processors_;
}

// Joins the reading of a large report while it has chunks left, one thread
// per processor: its chunks wait on each other, and a thread that holds one
// must not wait for a core. The lock is held on entry and on return.
bool reading_pool::help_with_large_report(std::unique_lock<std::mutex>& hold, content_buffer& buffer) {
    if (!large_report_wants_help()) return false;
    chunked_reading& reading = *large_;
    reading.join();  // under the pool's lock, so that the reading outlives the help
    hold.unlock();
    reading.help(buffer);
    hold.lock();
    return true;
}

// The reading thread offers the report to the other workers, reads chunks
// itself, and withdraws it before waiting for the chunks its helpers hold.
report_reading reading_pool::read_in_chunks(const platform::opened_report& report, content_buffer& buffer,
                                            reading_progress& progress) {
    chunked_reading chunks(report, progress);
    {
        std::lock_guard<std::mutex> hold(lock_);
        chunks.join();
        large_ = &chunks;
        large_offered_.store(true);
    }
    work_ready_.notify_all();
    chunks.help(buffer);
    {
        std::lock_guard<std::mutex> hold(lock_);
        large_ = nullptr;
        large_offered_.store(false);
    }
    return chunks.finish();
}

// A report read whole, or in chunks when it is large and other threads can
// help. This must not throw: a report that cannot be read for want of memory
// is one that failed.
report_reading reading_pool::read(const report_entry& entry, content_buffer& buffer, reading_progress& progress) {
    try {
        const auto report = open_for_reading(entry, progress);
        if (!report) return unreadable(entry, report.reason());
        return read_opened(*report, buffer, progress);
    } catch (const std::bad_alloc&) {
        return out_of_memory();
    }
}

report_reading reading_pool::read_opened(const platform::opened_report& report, content_buffer& buffer,
                                         reading_progress& progress) {
    const bool large = report.version.size > chunked_from;
    if (large) platform::expect_reading_through(report.handle);
    const bool chunked = large && processors_ > 1 && workers_.size() > 1;
    const auto read_through = [&] {
        return chunked ? read_in_chunks(report, buffer, progress) : read_in_pieces(report, buffer, progress);
    };
    report_reading reading = read_through();
    if (reading.outcome == read_outcome::whole && may_be_mid_write(report)) {
        std::this_thread::sleep_for(time_before_reading_again(report.version));
        progress.done.store(0, std::memory_order_relaxed);
        reading = confirmed(std::move(reading), read_through());
    }
    return close_after_reading(report, std::move(reading));
}

report_reading reading_pool::out_of_memory() {
    report_reading failed;
    failed.outcome = read_outcome::failed;
    failed.reason = std::strerror(ENOMEM);
    return failed;
}

// A worker's claimed batch: the small reports read side by side and handed
// over at once, then the larger ones in order, then those that found no file
// descriptor free, each alone. The taking thread, if it waits on a report of
// the batch already read, is woken before a larger one is read and when the
// batch is done.
void reading_pool::read_claimed(std::size_t first, std::size_t last, content_buffer& buffer) {
    const std::size_t count = last - first + 1;
    std::array<const report_entry*, batch_most> entries{};
    std::array<reading_progress*, batch_most> progress{};
    std::array<batch_reading, batch_most> readings;
    for (std::size_t k = 0; k < count; ++k) {
        slot& s = slots_[(first + k) % slots_.size()];
        entries[k] = &s.entry;
        progress[k] = &s.progress;
    }
    try {
        read_batch({entries.data(), count}, {progress.data(), count}, buffer, {readings.data(), count});
    } catch (const std::bad_alloc&) {
        for (std::size_t k = 0; k < count; ++k) readings[k] = {out_of_memory(), std::nullopt};
    }
    for (std::size_t k = 0; k < count; ++k) {
        if (readings[k].still_open || readings[k].read_alone) continue;
        slot& s = slots_[(first + k) % slots_.size()];
        s.reading = std::move(readings[k].reading);
        s.done.store(true);
    }
    // The ones left open first, so that those read alone find this batch's
    // other files closed.
    for (const bool alone : {false, true}) {
        for (std::size_t k = 0; k < count; ++k) {
            if (alone ? !readings[k].read_alone : !readings[k].still_open) continue;
            wake_taker_within(first, first + k - 1);
            slot& s = slots_[(first + k) % slots_.size()];
            try {
                s.reading = alone ? read(s.entry, buffer, s.progress)
                                  : read_opened(*readings[k].still_open, buffer, s.progress);
            } catch (const std::bad_alloc&) {
                s.reading = out_of_memory();
            }
            s.done.store(true);
            if (large_offered_.load(std::memory_order_relaxed)) {
                std::unique_lock<std::mutex> hold(lock_);
                help_with_large_report(hold, buffer);
            }
        }
    }
    wake_taker_within(first, last);
}

void reading_pool::work(content_buffer& buffer) {
    // Each worker owns its buffer. A slot it claimed is its own alone until
    // its done flag hands it to the taking thread.
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        idle_workers_.fetch_add(1);
        work_ready_.wait(hold,
                         [&] { return stopping_ || claimed_.load() < given_.load() || large_report_wants_help(); });
        idle_workers_.fetch_sub(1);
        if (help_with_large_report(hold, buffer)) continue;
        const std::size_t first = claimed_.load();
        const std::size_t given = given_.load();
        if (first == given) {
            if (stopping_) return;
            continue;
        }
        const std::size_t last = (given - first < batch_size_ ? given : first + batch_size_) - 1;
        claimed_.store(last + 1);
        hold.unlock();
        read_claimed(first, last, buffer);
        hold.lock();
    }
}
