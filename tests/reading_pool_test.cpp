// The pool with readers of the tests' own: the order of the readings handed
// back, failures passed through, a pool whose slots are full, and readings
// shared by several threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "reading_pool.hpp"

namespace {

report_entry entry_numbered(std::size_t n) {
    report_entry entry{};
    std::snprintf(entry.name, sizeof entry.name, "report-%zu.htm", n);
    entry.size = n;
    return entry;
}

std::size_t number_of(const report_entry& entry) { return entry.size; }

// Hands each claimed batch's readings over last first, some of them failed,
// so that only the pool's own order can put them back in the order given.
class shuffling_reader final : public claim_reader {
public:
    void read(const claimed_reports& claimed, content_buffer&) override {
        for (std::size_t k = claimed.size(); k-- > 0;) {
            const std::size_t n = number_of(claimed.entry(k));
            report_reading reading;
            reading.size = n;
            reading.counts = {n, 2 * n, 3 * n};
            if (n % 7 == 3) {
                reading.outcome = read_outcome::failed;
                reading.reason = "failed " + std::to_string(n);
            }
            if (n % 5 == 0) std::this_thread::yield();
            claimed.hand_over(k, std::move(reading));
        }
    }
};

TEST(ReadingPool, ReadingsComeBackInTheOrderGivenWhateverTheShape) {
    const struct {
        const char* what;
        unsigned processors;
        pool_shape shape;
    } shapes[] = {
        {"no worker: the taking thread reads", 1, {0, 1}},
        {"one worker, one report at a time", 1, {1, 1}},
        {"four workers, whole batches", 2, {4, batch_most}},
        {"eight workers, batches of three", 4, {8, 3}},
    };
    for (const auto& s : shapes) {
        SCOPED_TRACE(s.what);
        shuffling_reader reader;
        reading_pool pool(reader, s.processors, s.shape);
        constexpr std::size_t reports = 3 * reading_pool::slot_count + 17;
        std::size_t given = 0;
        for (std::size_t taken = 0; taken < reports;) {
            for (; given < reports && pool.has_room(); ++given) pool.give(entry_numbered(given));
            ASSERT_FALSE(pool.empty());
            EXPECT_EQ(number_of(pool.awaited().entry), taken);
            const auto report = pool.take(std::chrono::milliseconds(100));
            if (!report) continue;
            ASSERT_EQ(number_of(report->entry), taken);
            EXPECT_EQ(report->reading.size, taken);
            EXPECT_EQ(report->reading.counts.downloads, 3 * taken);
            if (taken % 7 == 3) {
                EXPECT_EQ(report->reading.outcome, read_outcome::failed);
                EXPECT_EQ(report->reading.reason, "failed " + std::to_string(taken));
            } else {
                EXPECT_EQ(report->reading.outcome, read_outcome::whole);
            }
            ++taken;
        }
        EXPECT_TRUE(pool.empty());
    }
}

// Holds every reading back until it is let go.
class held_reader final : public claim_reader {
public:
    void read(const claimed_reports& claimed, content_buffer&) override {
        std::unique_lock<std::mutex> hold(lock_);
        ++claims_;
        changed_.notify_all();
        changed_.wait(hold, [this] { return let_go_; });
        hold.unlock();
        for (std::size_t k = 0; k < claimed.size(); ++k) {
            report_reading reading;
            reading.size = number_of(claimed.entry(k));
            claimed.hand_over(k, std::move(reading));
        }
    }
    void wait_for_a_claim() {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [this] { return claims_ > 0; });
    }
    void let_go() {
        const std::lock_guard<std::mutex> hold(lock_);
        let_go_ = true;
        changed_.notify_all();
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    unsigned claims_ = 0;
    bool let_go_ = false;
};

TEST(ReadingPool, AFullPoolTakesNoMoreAndHandsNothingBackUnread) {
    held_reader reader;
    reading_pool pool(reader, 2, {4, batch_most});
    std::size_t given = 0;
    for (; pool.has_room(); ++given) pool.give(entry_numbered(given));
    EXPECT_EQ(given, reading_pool::slot_count);
    reader.wait_for_a_claim();
    EXPECT_FALSE(pool.take(std::chrono::milliseconds(1)));
    EXPECT_FALSE(pool.has_room());
    reader.let_go();
    for (std::size_t taken = 0; taken < given;) {
        const auto report = pool.take(std::chrono::milliseconds(100));
        if (!report) continue;
        EXPECT_EQ(report->reading.size, taken);
        ++taken;
        EXPECT_TRUE(pool.has_room());
    }
    EXPECT_TRUE(pool.empty());
}

// A reading that is done only once another thread has helped with it: its
// offerer waits in help() until a helper came, for as long as a test may
// take, then gives up and says so.
class reading_that_needs_a_helper final : public shared_reading {
public:
    bool has_work_left() override {
        const std::lock_guard<std::mutex> hold(lock_);
        return helpers_ == 0;
    }
    void help(content_buffer&) override {
        std::unique_lock<std::mutex> hold(lock_);
        if (!offerer_came_) {
            offerer_came_ = true;
            helped_ = changed_.wait_for(hold, std::chrono::seconds(60), [this] { return helpers_ > 0; });
            return;
        }
        ++helpers_;
        changed_.notify_all();
    }
    report_reading result() override {
        const std::lock_guard<std::mutex> hold(lock_);
        report_reading reading;
        reading.outcome = helped_ ? read_outcome::whole : read_outcome::failed;
        reading.counts.connections = helpers_;
        return reading;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool offerer_came_ = false;
    bool helped_ = false;
    unsigned helpers_ = 0;
};

class sharing_reader final : public claim_reader {
public:
    void read(const claimed_reports& claimed, content_buffer& buffer) override {
        for (std::size_t k = 0; k < claimed.size(); ++k) {
            EXPECT_TRUE(claimed.can_share());
            claimed.hand_over(k, claimed.read_shared(std::make_unique<reading_that_needs_a_helper>(), buffer));
        }
    }
};

// Two large reports read at once by two workers: each is offered to the
// others, and each gets a helper of its own.
TEST(ReadingPool, LargeReportsReadAtOnceEachGetHelpers) {
    sharing_reader reader;
    reading_pool pool(reader, 2, {4, 1});
    pool.give(entry_numbered(0));
    pool.give(entry_numbered(1));
    for (std::size_t taken = 0; taken < 2;) {
        const auto report = pool.take(std::chrono::milliseconds(100));
        if (!report) continue;
        EXPECT_EQ(report->reading.outcome, read_outcome::whole) << "report " << taken << " had no helper";
        EXPECT_EQ(report->reading.counts.connections, 1u) << "report " << taken;
        ++taken;
    }
}

TEST(ReadingPool, ReadingsAreNotSharedWhereNoOtherThreadCanHelp) {
    for (const auto& [processors, workers] : {std::pair{1u, 2u}, std::pair{2u, 1u}, std::pair{2u, 0u}}) {
        class refusing_reader final : public claim_reader {
        public:
            void read(const claimed_reports& claimed, content_buffer&) override {
                for (std::size_t k = 0; k < claimed.size(); ++k) {
                    report_reading reading;
                    reading.outcome = claimed.can_share() ? read_outcome::failed : read_outcome::whole;
                    claimed.hand_over(k, std::move(reading));
                }
            }
        } reader;
        reading_pool pool(reader, processors, {workers, 1});
        pool.give(entry_numbered(0));
        std::optional<reading_pool::taken_report> report;
        while (!(report = pool.take(std::chrono::milliseconds(100)))) {
        }
        EXPECT_EQ(report->reading.outcome, read_outcome::whole) << processors << " processors, " << workers;
    }
}

}  // namespace
