#include "reading_pool.hpp"

namespace {
constexpr unsigned most_workers = 8;
// Open files kept aside from the workers' beside those already open (the
// standard streams, the summary, what the caller left open to the program).
constexpr std::size_t files_kept_aside = 1;
}  // namespace

// A worker holds its whole batch open at once, and its ring once it reads
// batches of more than one: under a low limit on open files, or with many
// left open by the caller, there are fewer workers and smaller batches, down
// to one worker reading one report at a time, with no ring.
pool_shape shape_for(unsigned processors) {
    unsigned wanted = processors < 2 ? 1 : 2 * processors < most_workers ? 2 * processors : most_workers;
    const std::size_t allowed = platform::open_files_allowed();
    const std::size_t in_use = platform::open_files_now() + files_kept_aside;
    const std::size_t room = allowed > in_use ? allowed - in_use : 0;
    const std::size_t ring = platform::files_of_a_batch_reader();
    const std::size_t fit = room / (ring + 2);  // workers that get two reports at a time, at least
    if (fit < wanted) wanted = fit < 1 ? 1 : static_cast<unsigned>(fit);
    const std::size_t each = room / wanted;
    const std::size_t batch = each < ring + 2 ? 1 : each - ring < batch_most ? each - ring : batch_most;
    return {wanted, batch};
}

const report_entry& claimed_reports::entry(std::size_t k) const { return pool_.slot_of(first_ + k).entry; }

reading_progress& claimed_reports::progress(std::size_t k) const { return pool_.slot_of(first_ + k).progress; }

bool claimed_reports::can_share() const { return pool_.processors_ > 1 && pool_.workers_.size() > 1; }

void claimed_reports::hand_over(std::size_t k, report_reading reading) const {
    hand_over(std::span<const std::size_t>(&k, 1), std::span<report_reading>(&reading, 1));
}

// The taking thread is woken only for the reading it waits for: the ones
// after it are often in place by the time it is done with that one.
void claimed_reports::hand_over(std::span<const std::size_t> reports, std::span<report_reading> readings) const {
    bool awaited = false;
    {
        const std::lock_guard<std::mutex> hold(pool_.lock_);
        for (std::size_t i = 0; i < reports.size(); ++i) {
            reading_pool::slot& s = pool_.slot_of(first_ + reports[i]);
            s.reading = std::move(readings[i]);
            s.done = true;
            awaited = awaited || (pool_.taker_waits_ && pool_.taken_ == first_ + reports[i]);
        }
    }
    if (awaited) pool_.report_done_.notify_one();
}

report_reading claimed_reports::read_shared(std::unique_ptr<shared_reading> reading, content_buffer& buffer) const {
    std::unique_lock<std::mutex> hold(pool_.lock_);
    auto& offered = pool_.offers_.emplace_back(reading_pool::offer{std::move(reading)});
    const auto at = std::prev(pool_.offers_.end());
    hold.unlock();
    pool_.work_ready_.notify_all();
    offered.reading->help(buffer);
    hold.lock();
    offered.withdrawn = true;
    pool_.helper_left_.wait(hold, [&offered] { return offered.helpers == 0; });
    report_reading result = offered.reading->result();
    pool_.offers_.erase(at);
    return result;
}

reading_pool::reading_pool(claim_reader& reader, unsigned processors, pool_shape shape)
    : reader_(reader), slots_(slot_count), processors_(processors), batch_size_(shape.batch_size) {
    // A worker that cannot be had (no memory for its buffer or stack, a limit
    // on threads) is no failure: the run goes on with those it has, or with
    // none. Each buffer is made here, so that no worker can fail on its own;
    // room for every worker is kept first, so only a buffer or a start can fail.
    workers_.reserve(shape.workers);
    buffers_.reserve(shape.workers);
    for (unsigned i = 0; i < shape.workers; ++i) {
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
        const std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    work_ready_.notify_all();
    for (auto& worker : workers_) worker.join();
}

// A sleeping worker is woken for a whole batch, or for what there is when the
// workers have run dry, so that batches stay whole while they keep up.
void reading_pool::give(const report_entry& entry) {
    bool wake = false;
    {
        const std::lock_guard<std::mutex> hold(lock_);
        slot& s = slot_of(given_);
        s.entry = entry;
        s.reading = report_reading{};
        s.progress.opened.store(false, std::memory_order_relaxed);
        s.progress.size.store(0, std::memory_order_relaxed);
        s.progress.done.store(0, std::memory_order_relaxed);
        s.done = false;
        ++given_;
        wake = idle_workers_ > 0 && (given_ - claimed_ >= batch_size_ || claimed_ == taken_);
    }
    if (wake) work_ready_.notify_one();
}

reading_pool::awaited_report reading_pool::awaited() const {
    const slot& s = slot_of(taken_);
    return {s.entry, s.progress};
}

std::optional<reading_pool::taken_report> reading_pool::take(std::chrono::milliseconds patience) {
    std::unique_lock<std::mutex> hold(lock_);
    slot& s = slot_of(taken_);
    if (workers_.empty()) {
        hold.unlock();
        reader_.read(claimed_reports(*this, taken_, 1), *buffers_.front());
        hold.lock();
    } else if (!s.done) {
        // Whatever is on hand is worth reading now: the run waits for it.
        if (claimed_ < given_) work_ready_.notify_all();
        taker_waits_ = true;
        const bool done = report_done_.wait_for(hold, patience, [&s] { return s.done; });
        taker_waits_ = false;
        if (!done) return std::nullopt;
    }
    taken_report taken{s.entry, std::move(s.reading)};
    ++taken_;
    return taken;
}

// An offer takes one thread per processor, the one that offered it included:
// its parts wait on each other, and a thread that holds one must not wait
// for a core.
reading_pool::offer* reading_pool::offer_wanting_help() {
    for (offer& o : offers_)
        if (!o.withdrawn && o.helpers + 1 < processors_ && o.reading->has_work_left()) return &o;
    return nullptr;
}

void reading_pool::help_with(offer& wanted, std::unique_lock<std::mutex>& hold, content_buffer& buffer) {
    ++wanted.helpers;
    hold.unlock();
    wanted.reading->help(buffer);
    hold.lock();
    if (--wanted.helpers == 0) helper_left_.notify_all();
}

// Each worker owns its buffer. A slot it claimed is its own alone until its
// reading is handed over.
void reading_pool::work(content_buffer& buffer) {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        ++idle_workers_;
        work_ready_.wait(hold, [&] { return stopping_ || claimed_ < given_ || offer_wanting_help() != nullptr; });
        --idle_workers_;
        if (stopping_) return;
        if (offer* wanted = offer_wanting_help()) {
            help_with(*wanted, hold, buffer);
            continue;
        }
        const std::size_t first = claimed_;
        const std::size_t count = given_ - first < batch_size_ ? given_ - first : batch_size_;
        claimed_ = first + count;
        hold.unlock();
        reader_.read(claimed_reports(*this, first, count), buffer);
        hold.lock();
    }
}
