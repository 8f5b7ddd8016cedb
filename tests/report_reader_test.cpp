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

// Report rows cut to n bytes.
std::string rows_of_size(std::size_t n) {
    std::string data;
    for (unsigned row = 0; data.size() < n; ++row)
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
        bool in_one_read;
    };
    const change_case cases[] = {
        {"empty", 0, 0, read_outcome::whole, true},
        {"small", 5000, 0, read_outcome::whole, true},
        {"small, grown", 5000, 300, read_outcome::changed, false},
        {"small, cut", 5000, -300, read_outcome::changed, false},
        {"empty, grown", 0, 40, read_outcome::changed, false},
        // A piece exactly: one more read finds its end; its times are looked at after.
        {"one piece", piece_size, 0, read_outcome::whole, false},
        {"one piece, grown", piece_size, 1, read_outcome::changed, false},
        {"pieces", 3 * piece_size + 777, 0, read_outcome::whole, false},
        {"pieces, grown", 3 * piece_size + 777, 1000, read_outcome::changed, false},
        {"pieces, cut", 3 * piece_size + 777, -1000, read_outcome::changed, false},
        {"pieces, cut to a piece", 3 * piece_size + 777, -static_cast<std::ptrdiff_t>(2 * piece_size + 777),
         read_outcome::changed, false},
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
        EXPECT_EQ(reading.whole_in_one_read, c.in_one_read) << c.what;
        EXPECT_EQ(reading.size, c.size) << c.what;
        // The figures of the bytes read up to the size found at the open, never past it.
        const std::size_t read_to = c.after < 0 ? c.size + c.after : c.size;
        const scan_counts want = reference_scan(data.substr(0, read_to));
        EXPECT_EQ(reading.counts.connections, want.connections) << c.what;
        EXPECT_EQ(reading.counts.uploads, want.uploads) << c.what;
        EXPECT_EQ(reading.counts.downloads, want.downloads) << c.what;
    }
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
        reading.join();
        helpers.emplace_back([&reading] {
            const auto buffer = std::make_unique<content_buffer>();
            reading.help(*buffer);
        });
    }
    for (auto& helper : helpers) helper.join();
    const report_reading result = reading.finish();
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
