// Reading a report: on one thread, where the read's own end tells a report
// that changed after it was opened; and in chunks by several threads side by
// side, where the counts must be those of one scan of the whole, with openers
// and numbers at every offset around the chunks' edges.
#include "report_reader.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "reference_scan.hpp"

namespace {

struct chunked_result {
    scan_counts counts;
    read_outcome outcome;
};

// A name of its own in the working directory, where reports are opened: the
// tests may run in several processes at once.
std::filesystem::path report_path(const char* what) {
    static const std::string unique = std::to_string(std::random_device{}());
    return std::string("traffic-totals-") + what + "-" + unique;
}

report_entry entry_of(const std::filesystem::path& path) {
    report_entry entry{};
    path.string().copy(entry.name, sizeof entry.name - 1);
    return entry;
}

// Report rows, from row `first` on, cut to n bytes.
std::string rows_of_size(std::size_t n, unsigned first = 0) {
    std::string data;
    for (unsigned row = first; data.size() < n; ++row)
        data += "<tr><td>" + std::to_string(row) + "<td>a<td>b<td>c<td>" + std::to_string(row * 7919ull) + "<td>" +
                std::to_string(row * 104729ull) + "<td>t<td>u<td>v</tr>\r\n";
    data.resize(n);
    return data;
}

TEST(ReadingInPieces, AReportThatChangesAfterItIsOpenedIsToldByTheReadsEnd) {
    struct change_case {
        const char* what;
        std::size_t size;      // when opened
        std::ptrdiff_t after;  // bytes added (or, below zero, cut) after the open
        read_outcome outcome;
    };
    const change_case cases[] = {
        {"empty", 0, 0, read_outcome::whole},
        {"small", 5000, 0, read_outcome::whole},
        {"small, grown", 5000, 300, read_outcome::changed},
        {"small, cut", 5000, -300, read_outcome::changed},
        {"empty, grown", 0, 40, read_outcome::changed},
        // A piece exactly: one more read finds its end.
        {"one piece", piece_size, 0, read_outcome::whole},
        {"one piece, grown", piece_size, 1, read_outcome::changed},
        {"pieces", 3 * piece_size + 777, 0, read_outcome::whole},
        {"pieces, grown", 3 * piece_size + 777, 1000, read_outcome::changed},
        {"pieces, cut", 3 * piece_size + 777, -1000, read_outcome::changed},
        {"pieces, cut to a piece", 3 * piece_size + 777, -static_cast<std::ptrdiff_t>(2 * piece_size + 777),
         read_outcome::changed},
    };
    const auto buffer = std::make_unique<content_buffer>();
    for (const change_case& c : cases) {
        const std::filesystem::path path = report_path("pieces");
        const std::string data = rows_of_size(c.size + (c.after > 0 ? c.after : 0));
        std::ofstream(path, std::ios::binary) << data.substr(0, c.size);
        reading_progress progress;
        const auto report = open_for_reading(entry_of(path), progress);
        ASSERT_TRUE(report) << report.reason();
        if (c.after > 0) std::ofstream(path, std::ios::binary | std::ios::app) << data.substr(c.size);
        if (c.after < 0) std::filesystem::resize_file(path, c.size + c.after);
        const report_reading pieces = read_in_pieces(*report, *buffer, progress);
        const report_reading reading = close_after_reading(*report, pieces);
        std::filesystem::remove(path);
        EXPECT_EQ(reading.outcome, c.outcome) << c.what;
        EXPECT_EQ(reading.size, c.size) << c.what;
        // The figures of the bytes read up to the size found at the open, never past it.
        const std::size_t read_to = c.after < 0 ? c.size + c.after : c.size;
        const scan_counts want = reference_scan(data.substr(0, read_to));
        EXPECT_EQ(reading.counts.connections, want.connections) << c.what;
        EXPECT_EQ(reading.counts.uploads, want.uploads) << c.what;
        EXPECT_EQ(reading.counts.downloads, want.downloads) << c.what;
    }
}

// A change within the window before the open calls for a second reading;
// the window is wider where the file system stamps whole seconds.
TEST(MidWrite, ARecentChangeCallsForASecondReading) {
    constexpr std::int64_t second = 1000000000;
    constexpr std::int64_t opened_at = 1765000000 * second + 250000000;
    constexpr std::int64_t whole = opened_at / second * second;  // the open's second, without its fraction
    const struct {
        const char* what;
        std::int64_t modified, changed;
        bool again;
    } cases[] = {
        {"a moment before", opened_at - 1000, opened_at - 1000, true},
        {"just within two seconds", opened_at - 2 * second + 1, opened_at - 2 * second + 1, true},
        {"two seconds before", opened_at - 2 * second, opened_at - 2 * second, false},
        {"an hour before", opened_at - 3600 * second, opened_at - 3600 * second, false},
        {"written long ago, its details changed now", opened_at - 3600 * second, opened_at - 1000, true},
        {"stamped after the open, by another clock", opened_at + 5 * second, opened_at + 5 * second, true},
        {"whole seconds, three before", whole - 3 * second, whole - 3 * second, true},
        {"whole seconds, five before", whole - 5 * second, whole - 5 * second, false},
        {"whole-second change, finer modification", whole - 3 * second + 7, whole - 3 * second, false},
    };
    for (const auto& c : cases) {
        const platform::opened_report report{0, {100, c.modified, c.changed}, opened_at};
        EXPECT_EQ(may_be_mid_write(report), c.again) << c.what;
    }
}

// A first reading stands only where the second agrees with it.
TEST(MidWrite, TheSecondReadingConfirmsTheFirstOrTellsAChange) {
    const auto reading = [](read_outcome outcome, std::uint64_t uploads, const char* reason = "") {
        report_reading r;
        r.outcome = outcome;
        r.reason = reason;
        r.size = 4000;
        r.counts = {3, uploads, 7};
        return r;
    };
    const struct {
        const char* what;
        report_reading first, second;
        read_outcome outcome;
        std::string reason;
    } cases[] = {
        {"the same figures", reading(read_outcome::whole, 5), reading(read_outcome::whole, 5), read_outcome::whole, ""},
        {"other figures", reading(read_outcome::whole, 5), reading(read_outcome::whole, 6), read_outcome::changed, ""},
        {"the second changed", reading(read_outcome::whole, 5), reading(read_outcome::changed, 5),
         read_outcome::changed, ""},
        {"the second failed", reading(read_outcome::whole, 5), reading(read_outcome::failed, 0, "I/O error"),
         read_outcome::failed, "I/O error"},
        {"the first changed", reading(read_outcome::changed, 5), reading(read_outcome::whole, 5), read_outcome::changed,
         ""},
    };
    for (const auto& c : cases) {
        const report_reading got = confirmed(c.first, c.second);
        EXPECT_EQ(got.outcome, c.outcome) << c.what;
        EXPECT_EQ(got.reason, c.reason) << c.what;
        EXPECT_EQ(got.size, 4000u) << c.what;
        if (c.outcome != read_outcome::failed) EXPECT_EQ(got.counts.uploads, c.first.counts.uploads) << c.what;
    }
}

// The same report read one by one: the batch must agree with it.
report_reading read_alone(const report_entry& entry, content_buffer& buffer) {
    reading_progress progress;
    const auto report = open_for_reading(entry, progress);
    if (!report) return unreadable(entry, report.reason());
    return close_after_reading(*report, read_in_pieces(*report, buffer, progress));
}

// Reports of every size around a batch slot's, and entries that changed
// after the listing (gone, or now a folder), read a batch at a time: each
// gives what it gives read alone.
TEST(ReadingInBatches, EachReportAsItReadsAlone) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / report_path("batch");
    std::filesystem::create_directory(folder);
    const std::filesystem::path was = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    const std::vector<std::pair<std::string, std::size_t>> reports = {
        {"a-empty.htm", 0},
        {"b-small.htm", 2000},
        {"c-slot-less-one.htm", batch_slot_size - 1},
        {"d-slot.htm", batch_slot_size},
        {"e-pieces.htm", 2 * piece_size + 5},
        {"f-gone.htm", 100},
        {"g-now-a-folder.htm", 100},
    };
    // Each its own rows, so that no report's figures could stand for another's.
    for (unsigned i = 0; i < reports.size(); ++i)
        std::ofstream(reports[i].first, std::ios::binary) << rows_of_size(reports[i].second, 1000 * i);
    std::vector<report_entry> entries;
    ASSERT_TRUE(platform::start_report_search());
    while (const auto entry = platform::next_report()) entries.push_back(*entry);
    platform::close_report_search();
    ASSERT_EQ(entries.size(), reports.size());
    std::filesystem::remove("f-gone.htm");
    std::filesystem::remove("g-now-a-folder.htm");
    std::filesystem::create_directory("g-now-a-folder.htm");

    std::vector<const report_entry*> batch;
    std::vector<reading_progress> progress(entries.size());
    std::vector<reading_progress*> progress_of;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        batch.push_back(&entries[i]);
        progress_of.push_back(&progress[i]);
    }
    std::vector<batch_reading> readings(entries.size());
    const auto buffer = std::make_unique<content_buffer>();
    read_batch(batch, progress_of, *buffer, readings);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string name = entries[i].name;
        const bool small = reports[i].second < batch_slot_size && reports[i].first != "f-gone.htm" &&
                           reports[i].first != "g-now-a-folder.htm";
        EXPECT_EQ(readings[i].still_open.has_value(), reports[i].second >= batch_slot_size) << name;
        const report_reading got =
            readings[i].still_open ? close_after_reading(*readings[i].still_open,
                                                         read_in_pieces(*readings[i].still_open, *buffer, progress[i]))
                                   : readings[i].reading;
        const report_reading alone = read_alone(entries[i], *buffer);
        EXPECT_EQ(got.outcome, alone.outcome) << name;
        EXPECT_EQ(got.reason, alone.reason) << name;
        EXPECT_EQ(got.size, alone.size) << name;
        const scan_counts want = small || reports[i].second >= batch_slot_size
                                     ? reference_scan(rows_of_size(reports[i].second, static_cast<unsigned>(1000 * i)))
                                     : scan_counts{};
        EXPECT_EQ(got.counts.connections, want.connections) << name;
        EXPECT_EQ(got.counts.uploads, want.uploads) << name;
        EXPECT_EQ(got.counts.downloads, want.downloads) << name;
    }
    EXPECT_EQ(readings[5].reading.outcome, read_outcome::failed);
    EXPECT_EQ(readings[6].reading.outcome, read_outcome::failed);
    std::filesystem::current_path(was);
    std::filesystem::remove_all(folder);
}

chunked_result read_in_chunks(const std::string& data, std::size_t chunk_size, unsigned threads) {
    const std::filesystem::path path = report_path("chunks");
    std::ofstream(path, std::ios::binary) << data;
    const auto report = platform::open_report(entry_of(path));
    EXPECT_TRUE(report) << report.reason();
    reading_progress progress;
    chunked_reading reading(*report, progress, chunk_size);
    std::vector<std::thread> helpers;
    for (unsigned i = 0; i < threads; ++i) {
        helpers.emplace_back([&reading] {
            const auto buffer = std::make_unique<content_buffer>();
            reading.help(*buffer);
        });
    }
    for (auto& helper : helpers) helper.join();
    const report_reading result = reading.result();
    platform::close_report(report->handle);
    std::filesystem::remove(path);
    return {result.counts, result.outcome};
}

void expect_counts(const chunked_result& got, const scan_counts& want, const std::string& what) {
    EXPECT_EQ(got.outcome, read_outcome::whole) << what;
    EXPECT_EQ(got.counts.connections, want.connections) << what;
    EXPECT_EQ(got.counts.uploads, want.uploads) << what;
    EXPECT_EQ(got.counts.downloads, want.downloads) << what;
}

TEST(ChunkedReading, OpenersAndNumbersAtEveryOffsetAroundChunkEdges) {
    const std::vector<std::string> subjects = {
        "<tr>", "<td><td><td><td><td>9876543210<td>1234567890123", "<td><td><td><td><td78>", "<td><td><td><td><td<td>5",
        // places 5 and 6, after the three cells in front
        "<td><td>" + std::string(40, '3') + "<td>" + std::string(150, '4'), "<t", "<"};
    for (const std::size_t chunk : {std::size_t{64}, std::size_t{67}}) {
        for (const auto& subject : subjects) {
            for (std::size_t lead = chunk - 12; lead <= 2 * chunk + 2; ++lead) {
                // Cells before the subject put it at another place in the cycle each time.
                std::string data = "<tr><td>1<td>2<td>3";
                data += std::string(lead - data.size(), 'x') + subject + std::string(lead % 70, '5') + "<td>77";
                for (const unsigned threads : {1u, 2u, 3u})
                    expect_counts(read_in_chunks(data, chunk, threads), reference_scan(data),
                                  subject + " at " + std::to_string(lead) + ", chunks of " + std::to_string(chunk));
            }
        }
    }
}

TEST(ChunkedReading, ManyChunksOfReportLikeRows) {
    std::string data;
    for (int row = 0; row < 400; ++row)
        data += "<tr><td>" + std::to_string(row) + "<td>a<td>b<td>c<td>" +
                std::to_string(row * 1000003ull % 4000000000ull) + "<td>" + std::to_string(row * 7919ull) +
                "<td>t<td>u<td>v</tr>\r\n";
    for (const std::size_t chunk : {std::size_t{64}, std::size_t{100}, std::size_t{4096}})
        expect_counts(read_in_chunks(data, chunk, 2), reference_scan(data), "chunks of " + std::to_string(chunk));
}

}  // namespace
