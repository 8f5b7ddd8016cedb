// Reports read ahead on worker threads and handed back in the order they were
// given. Workers claim the reports given in batches and read them with the
// pool's claim_reader; a reading that several threads can share (a large
// report's chunks) is offered to the idle ones. There are two workers per
// processor (up to eight): reads in flight, not cores, bound a run over many
// small reports whose files are not yet in memory. Where no thread can be
// started, each report is read when it is taken.
//
// One lock guards all that the threads share: the slots, the counts of
// reports given, claimed and taken, and the readings on offer. Nothing is
// handed from thread to thread without it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "report_reader.hpp"

class reading_pool;

// A reading that several threads can do side by side.
class shared_reading {
public:
    virtual ~shared_reading() = default;
    // Whether a thread that joined now would find work left.
    virtual bool has_work_left() = 0;
    // Works on it until no work is left to start, and what it started is done.
    virtual void help(content_buffer& buffer) = 0;
    // The reading, once every thread that helped is done.
    virtual report_reading result() = 0;
};

// The reports one worker claimed, for its reader: each one's entry and
// progress, and the hand-over of each reading once it is in place.
class claimed_reports {
public:
    std::size_t size() const { return count_; }
    const report_entry& entry(std::size_t k) const;
    reading_progress& progress(std::size_t k) const;
    // Report k's reading is in place: the taking thread may have it. Several
    // at once (the reading of reports[i] is readings[i]) take the lock once.
    void hand_over(std::size_t k, report_reading reading) const;
    void hand_over(std::span<const std::size_t> reports, std::span<report_reading> readings) const;
    // Whether other threads could help with a shared reading.
    bool can_share() const;
    // Offers the reading to idle workers, works on it too, and gives its
    // result once every thread that joined it is done.
    report_reading read_shared(std::unique_ptr<shared_reading> reading, content_buffer& buffer) const;

private:
    friend class reading_pool;
    claimed_reports(reading_pool& pool, std::size_t first, std::size_t count)
        : pool_(pool), first_(first), count_(count) {}
    reading_pool& pool_;
    std::size_t first_;
    std::size_t count_;
};

// What the workers do with the reports they claim: every report's reading is
// handed over exactly once, and no call throws.
class claim_reader {
public:
    virtual ~claim_reader() = default;
    virtual void read(const claimed_reports& claimed, content_buffer& buffer) = 0;
};

// How many workers, and how many reports each claims at a time.
struct pool_shape {
    unsigned workers;
    std::size_t batch_size;
};
// The shape that fits the processors and the files that may still be opened.
pool_shape shape_for(unsigned processors);

class reading_pool {
public:
    reading_pool(claim_reader& reader, unsigned processors, pool_shape shape);
    ~reading_pool();
    reading_pool(const reading_pool&) = delete;
    reading_pool& operator=(const reading_pool&) = delete;

    // Reports on hand at once.
    static constexpr std::size_t slot_count = 512;

    // Reports are given and taken by one thread, the pool's owner. Whether
    // another report may be given now, and whether none is on hand: given_
    // and taken_ change only on that thread (under the lock, for the
    // workers), so it reads them without the lock.
    bool has_room() const { return given_ - taken_ < slots_.size(); }
    bool empty() const { return given_ == taken_; }
    void give(const report_entry& entry);

    // The report that take() hands back next, and how far its reading has
    // got; its slot stays as it is until it is taken. Its entry is the
    // owner's own writing, and its progress is atomic: no lock either.
    struct awaited_report {
        const report_entry& entry;
        const reading_progress& progress;
    };
    awaited_report awaited() const;

    // The next report in the order given, once read; nothing when it is
    // still being read after `patience`.
    struct taken_report {
        report_entry entry;
        report_reading reading;
    };
    std::optional<taken_report> take(std::chrono::milliseconds patience);

private:
    friend class claimed_reports;
    struct slot {
        report_entry entry{};
        report_reading reading;
        reading_progress progress;
        bool done = false;
    };
    struct offer {
        std::unique_ptr<shared_reading> reading;
        unsigned helpers = 0;   // threads that joined the one that offered it
        bool withdrawn = false; // none may join any more
    };

    void work(content_buffer& buffer);
    offer* offer_wanting_help();
    void help_with(offer& wanted, std::unique_lock<std::mutex>& hold, content_buffer& buffer);
    slot& slot_of(std::size_t report) { return slots_[report % slots_.size()]; }
    const slot& slot_of(std::size_t report) const { return slots_[report % slots_.size()]; }

    claim_reader& reader_;
    std::vector<slot> slots_;
    std::vector<std::unique_ptr<content_buffer>> buffers_;  // the workers' own, or one for the taking thread
    std::vector<std::thread> workers_;
    const unsigned processors_;  // threads that work on a shared reading at once
    const std::size_t batch_size_;

    std::mutex lock_;
    std::condition_variable work_ready_;   // a batch to claim, a reading on offer, or the end
    std::condition_variable report_done_;  // a reading handed over
    std::condition_variable helper_left_;  // a thread stopped helping with an offer
    std::size_t given_ = 0, claimed_ = 0, taken_ = 0;
    unsigned idle_workers_ = 0;
    bool taker_waits_ = false;  // for the reading of report taken_
    std::list<offer> offers_;
    bool stopping_ = false;
};
