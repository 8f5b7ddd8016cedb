// Reports read ahead on worker threads and handed back in the order they were
// given. Small reports go to the workers in batches; a large one is read by
// all of them at once, in chunks, when there is more than one processor.
// There are two workers per processor (up to eight): reads in flight, not
// cores, bound a run over many small reports whose files are not yet in
// memory. Where no thread can be started, each report is read when it is taken.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "report_reader.hpp"

class reading_pool {
public:
    explicit reading_pool(unsigned processors);
    ~reading_pool();
    reading_pool(const reading_pool&) = delete;
    reading_pool& operator=(const reading_pool&) = delete;

    // Whether another report may be given now, and whether none is on hand.
    // (given_ and taken_ change only on the thread that gives and takes.)
    bool has_room() const { return given_.load() - taken_.load() < slots_.size(); }
    bool empty() const { return given_.load() == taken_.load(); }
    void give(const report_entry& entry);

    // The report that take() hands back next, and how far its reading has got.
    struct awaited_report {
        const report_entry& entry;
        const reading_progress& progress;
    };
    awaited_report awaited() const;

    // The next report in the order given, once read; nothing when it is still
    // being read after `patience`. What it returns stays valid until the next
    // give().
    struct taken_report {
        const report_entry& entry;
        const report_reading& reading;
    };
    std::optional<taken_report> take(std::chrono::milliseconds patience);

private:
    struct slot {
        report_entry entry{};
        report_reading reading;
        reading_progress progress;
        std::atomic<bool> done{false};  // set by the worker that read it, once its reading is in place
    };

    void work(content_buffer& buffer);
    report_reading read(const report_entry& entry, content_buffer& buffer, reading_progress& progress);
    report_reading read_opened(const platform::opened_report& report, content_buffer& buffer,
                               reading_progress& progress);
    static report_reading out_of_memory();
    void read_claimed(std::size_t first, std::size_t last, content_buffer& buffer);
    report_reading read_in_chunks(const platform::opened_report& report, content_buffer& buffer,
                                  reading_progress& progress);
    bool help_with_large_report(std::unique_lock<std::mutex>& hold, content_buffer& buffer);
    bool large_report_wants_help() const;
    void wake_taker_within(std::size_t first, std::size_t upto);
    void reset(slot& s);

    std::vector<slot> slots_;
    std::vector<std::unique_ptr<content_buffer>> buffers_;  // the workers' own, or one for the taking thread
    std::vector<std::thread> workers_;

    // Neither giving a report nor handing it back takes the lock, unless a
    // thread sleeps that must be woken: the giving thread wakes a worker
    // only for a whole batch (or when the workers have run dry), and a
    // worker wakes the taking thread only when it finishes the batch that
    // thread waits on. The lock guards the claiming of batches, the large
    // report's offer, and those wake-ups.
    std::mutex lock_;
    std::condition_variable work_ready_, report_done_;
    std::atomic<std::size_t> given_{0}, taken_{0};
    std::atomic<std::size_t> claimed_{0};  // changed under the lock
    std::atomic<unsigned> idle_workers_{0};
    std::atomic<bool> taker_waits_{false};
    chunked_reading* large_ = nullptr;
    std::atomic<bool> large_offered_{false};  // large_ is set; read without the lock
    bool stopping_ = false;
    unsigned processors_ = 1;  // threads that read a large report's chunks at once
    std::size_t batch_size_ = batch_most;
};
