// A report read in chunks by several threads side by side: the counts must
// be those of one scan of the whole, with openers and numbers at every offset
// around the chunks' edges.
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
#include "report_reader.hpp"

namespace {

struct chunked_result {
    scan_counts counts;
    read_outcome outcome;
};

chunked_result read_in_chunks(const std::string& data, std::size_t chunk_size, unsigned threads) {
    // A name of its own in the working directory, where reports are opened:
    // the tests may run in several processes at once.
    static const std::string unique = std::to_string(std::random_device{}());
    const std::filesystem::path path = "traffic-totals-chunks-" + unique;
    std::ofstream(path, std::ios::binary) << data;
    report_entry entry{};
    path.string().copy(entry.name, sizeof entry.name - 1);
    const auto report = platform::open_report(entry);
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
