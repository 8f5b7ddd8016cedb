#include "reading_pool.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

namespace {
// Reports on hand at once, and how many a worker takes at a time: enough to
// keep every worker busy on small reports, few enough to stay within memory.
constexpr std::size_t slot_count = 512;
constexpr std::size_t batch_size = 32;
constexpr unsigned most_workers = 8;
}  // namespace

reading_pool::reading_pool(unsigned processors) : slots_(slot_count), processors_(processors) {
    const unsigned wanted = processors < 2 ? 0 : 2 * processors < most_workers ? 2 * processors : most_workers;
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
    if (workers_.empty()) own_buffer_ = std::make_unique_for_overwrite<content_buffer>();
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
    s.done = false;
}

void reading_pool::give(const report_entry& entry) {
    std::lock_guard<std::mutex> hold(lock_);
    slot& s = slots_[given_ % slots_.size()];
    reset(s);
    s.entry = entry;
    ++given_;
    // A whole batch, or what there is when the workers have run dry.
    if (given_ - claimed_ >= batch_size || claimed_ == taken_) work_ready_.notify_one();
}

reading_pool::taken_report reading_pool::take(const waiting_call& waiting) {
    slot& s = slots_[taken_ % slots_.size()];
    if (workers_.empty()) {
        s.progress.on_piece = [&](const reading_progress& progress) { waiting(s.entry, progress); };
        s.reading = read_report(s.entry, *own_buffer_, s.progress, nullptr);
        s.progress.on_piece = nullptr;
        ++taken_;
        return {s.entry, s.reading};
    }
    std::unique_lock<std::mutex> hold(lock_);
    // Whatever is on hand is worth reading now: the run waits for it.
    if (claimed_ < given_) work_ready_.notify_all();
    while (!s.done) {
        if (report_done_.wait_for(hold, std::chrono::milliseconds(100)) == std::cv_status::timeout) {
            hold.unlock();
            waiting(s.entry, s.progress);
            hold.lock();
        }
    }
    ++taken_;
    return {s.entry, s.reading};
}

bool reading_pool::large_report_wants_help() {
    return large_ != nullptr && large_->has_chunks_left() && large_->helpers() < processors_;
}

void reading_pool::offer(chunked_reading& reading) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        large_ = &reading;
    }
    work_ready_.notify_all();
}

void reading_pool::withdraw() {
    std::lock_guard<std::mutex> hold(lock_);
    large_ = nullptr;
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

// A worker's reading, which must not throw: a report that cannot be read
// for want of memory is one that failed.
report_reading reading_pool::read_on_worker(report_entry& entry, content_buffer& buffer, reading_progress& progress) {
    try {
        return read_report(entry, buffer, progress, this);
    } catch (const std::bad_alloc&) {
        report_reading failed;
        failed.outcome = read_outcome::failed;
        failed.reason = std::strerror(ENOMEM);
        return failed;
    }
}

void reading_pool::work(content_buffer& buffer) {
    // Each worker owns its buffer; slots are shared only under the lock, or
    // while claimed by one worker alone.
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        work_ready_.wait(hold, [&] { return stopping_ || claimed_ < given_ || large_report_wants_help(); });
        if (help_with_large_report(hold, buffer)) continue;
        if (claimed_ == given_) {
            if (stopping_) return;
            continue;
        }
        const std::size_t first = claimed_;
        const std::size_t last = given_ - claimed_ < batch_size ? given_ : claimed_ + batch_size;
        claimed_ = last;
        for (std::size_t i = first; i < last; ++i) {
            slot& s = slots_[i % slots_.size()];
            hold.unlock();
            report_reading reading = read_on_worker(s.entry, buffer, s.progress);
            hold.lock();
            s.reading = std::move(reading);
            s.done = true;
            // Only the report the run waits for is worth a wake-up.
            if (i == taken_) report_done_.notify_all();
            help_with_large_report(hold, buffer);
        }
    }
}
