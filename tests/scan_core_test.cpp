#include "scan_core.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "reference_scan.hpp"
#include "report_text.hpp"

namespace {

scan_counts scan_in_pieces(const std::string& data, const std::vector<std::size_t>& cuts) {
    scan_state state;
    scan_start(state);
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        scan_piece(state, reinterpret_cast<const unsigned char*>(data.data()) + from, cut - from);
        from = cut;
    }
    scan_piece(state, reinterpret_cast<const unsigned char*>(data.data()) + from, data.size() - from);
    return scan_finish(state);
}

scan_counts scan_whole(const std::string& data) { return scan_in_pieces(data, {}); }

void expect_counts(const scan_counts& got, const scan_counts& want, const std::string& what) {
    EXPECT_EQ(got.connections, want.connections) << what;
    EXPECT_EQ(got.uploads, want.uploads) << what;
    EXPECT_EQ(got.downloads, want.downloads) << what;
}

std::string nine_cells(const std::string& fifth, const std::string& sixth) {
    return table_rows({traffic_row(fifth, sixth)});
}

struct scan_case {
    const char* what;
    std::string report;
    scan_counts want;
};

std::vector<scan_case> scan_cases() {
    const std::string three_rows =
        table_rows({traffic_row("100", "250"), traffic_row("100", "250"), traffic_row("100", "250")});
    return {
        {"empty report", "", {0, 0, 0}},
        {"three rows of nine cells", three_rows, {3, 300, 750}},
        {"header row of <th cells counts a row, moves no cell",
         "<tr><th>a<th>b<th>c<th>d<th>e<th>f</tr>" + three_rows,
         {4, 300, 750}},
        {"upper-case openers count as nothing", "<TR><TD>1<TD>2<TD>3<TD>4<TD>5<TD>6<Tr><tD>", {0, 0, 0}},
        {"an attribute stands where the number is read", "<td>1<td>2<td>3<td>4<td class=x>7<td 42>9", {0, 0, 42}},
        {"a space before the digits yields nothing, a comma ends them, leading zeros are harmless",
         "<td><td><td><td><td> 5<td>12,345<td><td><td><td><td><td><td><td>007<td>0",
         {0, 7, 12}},
        {"a row of eight cells shifts the later rows",
         table_rows({{"a", "b", "c", "d", "e", "f", "g", "h"}, traffic_row("100", "250")}),
         {2, 250, 0}},
        {"longer tag names beginning tr and td count", "<track><tdx>1<td>2<td>3<td>4<td>55<td>66", {1, 55, 66}},
        {"closing tags never count", "</tr></td><td>1<td>2<td>3<td>4<td>5</td>6", {0, 5, 0}},
        {"an opener straight after an opener's name reads the next one's 't'", "<td><td><td><td><td<td>8", {0, 0, 8}},
        {"data ending in '<' or '<t' counts nothing", "<tr><", {1, 0, 0}},
        {"data ending in '<t'", "<t", {0, 0, 0}},
        {"a number running into the end of the data", "<td><td><td><td><td>12", {0, 12, 0}},
        {"ten cell openers begin a new cycle", "<td><td><td><td><td>1<td>2<td><td><td><td>3", {0, 1, 2}},
        {"the fourteenth and fifteenth cells feed the sums again",
         "<td><td><td><td><td>1<td>2<td><td><td><td><td><td><td><td>30<td>40",
         {0, 31, 42}},
        {"numbers past 2^32 keep their value",
         nine_cells("3000000000", "5000000000"),
         {1, 3000000000ull, 5000000000ull}},
        {"numbers past 2^64 wrap modulo 2^64", nine_cells("18446744073709551617", "36893488147419103232"), {1, 1, 0}},
        {"forty leading zeros", nine_cells(std::string(40, '0') + "42", "0"), {1, 42, 0}},
        {"the byte right after the opener's name is skipped", "<td><td><td><td><td78", {0, 8, 0}},
    };
}

// Every test below runs once for each way of scanning that this processor has.
class Scan : public ::testing::TestWithParam<scan_kernel> {
protected:
    void SetUp() override {
        if (!use_scan_kernel(GetParam())) GTEST_SKIP() << "the processor lacks " << scan_kernel_name(GetParam());
    }
    void TearDown() override { use_scan_kernel(original); }
    scan_kernel original = active_scan_kernel();
};

TEST_P(Scan, CountsRowsAndTheFifthAndSixthCells) {
    for (const auto& c : scan_cases()) {
        expect_counts(scan_whole(c.report), c.want, c.what);
        expect_counts(reference_scan(c.report), c.want, std::string("reference: ") + c.what);
    }
}

TEST_P(Scan, AnySplitGivesTheSameCounts) {
    for (const auto& c : scan_cases()) {
        const std::string& data = c.report;
        for (std::size_t a = 0; a <= data.size(); ++a) {
            expect_counts(scan_in_pieces(data, {a}), c.want, std::string(c.what) + " cut at " + std::to_string(a));
            for (std::size_t b = a; b <= data.size() && data.size() < 120; ++b)
                expect_counts(scan_in_pieces(data, {a, b}), c.want, std::string(c.what) + " cut twice");
        }
        std::vector<std::size_t> every_byte;
        for (std::size_t i = 1; i < data.size(); ++i) every_byte.push_back(i);
        expect_counts(scan_in_pieces(data, every_byte), c.want, std::string(c.what) + " byte by byte");
    }
}

TEST_P(Scan, EmptyPiecesChangeNothing) {
    const std::string data = nine_cells("123", "456");
    std::vector<std::size_t> cuts;
    for (std::size_t i = 0; i <= data.size(); ++i) cuts.insert(cuts.end(), {i, i});
    expect_counts(scan_in_pieces(data, cuts), {1, 123, 456}, "doubled cuts");
}

// Report-like noise: the tokens that matter, mixed at random, cut at random.
TEST_P(Scan, MatchesTheReferenceOnRandomReportLikeData) {
    const std::vector<std::string> tokens = {"<td", "<tr",          "<th", "<t", "<",    ">",     "<td>", "1",
                                             "99",  "123456789012", "x",   " ",  "\r\n", "</td>", "<TD>"};
    std::mt19937_64 random(20261208);
    for (int round = 0; round < 300; ++round) {
        std::string data;
        const std::size_t length = random() % 2000;
        while (data.size() < length) data += tokens[random() % tokens.size()];
        std::vector<std::size_t> cuts;
        const std::size_t most = round % 2 == 0 ? 40 : 400;
        for (std::size_t at = 0; at < data.size(); at += 1 + random() % most) cuts.push_back(at);
        expect_counts(scan_in_pieces(data, cuts), reference_scan(data), data);
    }
}

// An opener or a number at every offset around the 64-byte blocks and around
// a piece edge: each placed after a filler of every length, and the whole cut
// at every offset near the thing placed.
TEST_P(Scan, OpenersAndNumbersAtEveryOffsetAroundBlockAndPieceEdges) {
    const std::vector<std::string> subjects = {"<tr>",
                                               "<td><td><td><td><td>9876543210<td>1234567890123",
                                               "<td><td><td><td><td78>",
                                               "<td><td><td><td><td<td>5",
                                               "<th><td><tr><td><td><td>44<td>55",
                                               "<t",
                                               "<"};
    for (const auto& subject : subjects) {
        for (std::size_t lead = 0; lead < 140; ++lead) {
            for (const std::string& filler : {std::string(lead, 'x'), std::string(lead, '7')}) {
                const std::string data = filler + subject + filler.substr(0, lead % 70);
                const scan_counts want = reference_scan(data);
                expect_counts(scan_whole(data), want, "offset " + std::to_string(lead) + ": " + subject);
                for (std::size_t cut = lead > 3 ? lead - 3 : 0; cut <= lead + subject.size() + 1 && cut <= data.size();
                     ++cut)
                    expect_counts(scan_in_pieces(data, {cut}), want, "cut " + std::to_string(cut) + ": " + subject);
            }
        }
    }
}

// Dense blocks: more cells than one cycle in a 64-byte block, with every
// starting place of the cycle.
TEST_P(Scan, ManyCellsInOneBlockFollowTheCycle) {
    for (int before = 0; before < 9; ++before) {
        std::string data;
        for (int i = 0; i < before; ++i) data += "<td>";
        for (int i = 0; i < 200; ++i) data += "<td" + std::to_string(i % 10) + std::to_string(i % 7);
        expect_counts(scan_whole(data), reference_scan(data), "cells before: " + std::to_string(before));
    }
}

// Blocks packed with openers, past what a block of report rows holds (up to
// 22 cells a block), among ordinary rows, at every starting place.
TEST_P(Scan, CrowdedBlocksAmongRows) {
    const std::string row = "<tr><td>1<td>a<td>b<td>c<td>4000000000<td>9999999999<td>x<td>y<td>z</tr>";
    for (int before = 0; before < 9; ++before) {
        std::string data = std::string(static_cast<std::size_t>(before), 'q');
        for (int i = 0; i < before; ++i) data += "<td>";
        for (int group = 0; group < 12; ++group) {
            data += row + row;
            for (int i = 0; i < 30 + group; ++i) data += i % 5 == 4 ? "<td7" : "<td";
        }
        const scan_counts want = reference_scan(data);
        expect_counts(scan_whole(data), want, "crowded, cells before: " + std::to_string(before));
        expect_counts(scan_in_pieces(data, {data.size() / 3, data.size() / 2}), want,
                      "crowded, cut, cells before: " + std::to_string(before));
    }
}

// Many kilobytes of rows of varying length, so that the cells are listed in
// several batches and a batch ends at every place of the cycle, in one piece
// and cut at random.
TEST_P(Scan, LongRunsOfRowsAcrossBatches) {
    std::mt19937_64 random(20261209);
    for (int round = 0; round < 40; ++round) {
        std::string data = std::string(random() % 64, ' ');
        while (data.size() < 20000) {
            data += "<tr>";
            const int cells = random() % 10 == 0 ? 8 + static_cast<int>(random() % 3) : 9;
            for (int cell = 1; cell <= cells; ++cell)
                data += "<td>" + std::to_string(random() % (cell == 5 || cell == 6 ? 10000000000u : 1000)) +
                        std::string(random() % 12, 'w') + "</td>";
            data += "</tr>\r\n";
        }
        const scan_counts want = reference_scan(data);
        expect_counts(scan_whole(data), want, "round " + std::to_string(round));
        std::vector<std::size_t> cuts;
        for (std::size_t at = 0; at < data.size(); at += 1 + random() % 5000) cuts.push_back(at);
        expect_counts(scan_in_pieces(data, cuts), want, "round " + std::to_string(round) + ", cut");
    }
}

// Row openers as dense as they come, and at the same place of every 16, 32 or
// 64 bytes through many batches of blocks, so that a count kept per byte
// position reaches its most.
TEST_P(Scan, DenseRowOpenersThroughManyBatches) {
    for (const std::size_t period : {3, 4, 16, 32, 64}) {
        for (const std::size_t lead : {0, 1, 31}) {
            const std::uint64_t rows = 200000 / period;
            std::string data(lead, 'x');
            for (std::uint64_t i = 0; i < rows; ++i) data += "<tr" + std::string(period - 3, 'y');
            const std::string what = "a row every " + std::to_string(period) + " bytes after " + std::to_string(lead);
            expect_counts(scan_whole(data), {rows, 0, 0}, what);
            expect_counts(scan_in_pieces(data, {data.size() / 3}), {rows, 0, 0}, what + ", cut");
        }
    }
}

// Digit runs of every length up to 40, placed at every offset around a block
// edge, with the rest of the data short or long behind them, and the whole
// cut once at every byte of the run and around it.
TEST_P(Scan, DigitRunsOfEveryLengthAcrossBlocksAndPieces) {
    for (std::size_t length = 1; length <= 40; ++length) {
        std::string number;
        for (std::size_t i = 0; i < length; ++i) number += static_cast<char>('0' + (i * 7 + length) % 10);
        for (std::size_t lead = 40; lead < 110; ++lead) {
            for (const std::size_t behind : {std::size_t{0}, std::size_t{3}, std::size_t{90}}) {
                const std::string head = std::string(lead, 'x') + "<td><td><td><td><td>";
                const std::string data = head + number + "<td>" + number + std::string(behind, 'y');
                const scan_counts want = reference_scan(data);
                expect_counts(scan_whole(data), want, std::to_string(length) + " digits at " + std::to_string(lead));
                for (std::size_t cut = head.size() - 2; cut <= head.size() + 2 * length + 5 && cut <= data.size();
                     ++cut)
                    expect_counts(scan_in_pieces(data, {cut}), want,
                                  std::to_string(length) + " digits, cut at " + std::to_string(cut));
            }
        }
    }
}

// A part scanned in two passes (its cells listed, then scanned from the
// lists at the place it starts from) ends in the state one scan of the same
// bytes from that place ends in, and counts the cells that begin in it, at
// every place of the cycle and at lengths around block and batch edges.
TEST_P(Scan, APartsTwoPassesGiveWhatOneScanGives) {
    std::mt19937_64 random(20261210);
    std::vector<std::string> samples;
    for (int round = 0; round < 4; ++round) {  // rows, now and then of eight or ten cells
        std::string data = std::string(random() % 64, ' ');
        while (data.size() < 70000) {
            data += "<tr>";
            const int cells = random() % 10 == 0 ? 8 + static_cast<int>(random() % 3) : 9;
            for (int cell = 1; cell <= cells; ++cell)
                data += "<td>" + std::to_string(random() % 10000000000u) + std::string(random() % 12, 'w') + "</td>";
            data += "</tr>\r\n";
        }
        samples.push_back(data);
    }
    std::string crowded;
    while (crowded.size() < 9000) crowded += random() % 3 == 0 ? "<td" : random() % 2 == 0 ? "<td>7" : "<tr";
    samples.push_back(crowded);
    const auto cells = std::make_unique<part_cells>();
    for (std::size_t sample = 0; sample < samples.size(); ++sample) {
        const std::string& data = samples[sample];
        const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
        std::vector<std::size_t> lengths = {0, 1, 2, 3, 65, 66, 67, 130, 64 * 16 + 66, 64 * 64 + 66, data.size()};
        for (int i = 0; i < 20; ++i) lengths.push_back(random() % data.size());
        for (const std::size_t n : lengths) {
            std::uint64_t openers = 0;  // that begin at 0..n-1, seen with the two bytes after
            for (std::size_t p = 0; p < n && p + 2 < data.size(); ++p) openers += data.compare(p, 3, "<td") == 0;
            for (std::uint64_t before = 0; before < 9; ++before) {
                const std::string what = "sample " + std::to_string(sample) + ", " + std::to_string(n) +
                                         " bytes, cells before " + std::to_string(before);
                scan_state one, two;
                scan_start_at_cell(one, before);
                scan_start_at_cell(two, before);
                scan_piece(one, bytes, n);
                const std::size_t counted_to = n + 2 < data.size() ? n + 2 : data.size();
                EXPECT_EQ(list_part(*cells, bytes, n, counted_to), openers) << what;
                scan_listed_part(two, *cells, bytes, n);
                EXPECT_EQ(two.counts.connections, one.counts.connections) << what;
                EXPECT_EQ(two.counts.uploads, one.counts.uploads) << what;
                EXPECT_EQ(two.counts.downloads, one.counts.downloads) << what;
                EXPECT_EQ(two.cell_place, one.cell_place) << what;
                EXPECT_EQ(two.pending, one.pending) << what;
                EXPECT_EQ(two.pending_skip, one.pending_skip) << what;
                EXPECT_EQ(two.pending_value, one.pending_value) << what;
                EXPECT_EQ(two.tail_length, one.tail_length) << what;
                EXPECT_EQ(std::string(two.tail, two.tail + two.tail_length),
                          std::string(one.tail, one.tail + one.tail_length))
                    << what;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, Scan, ::testing::ValuesIn(every_scan_kernel),
                         [](const auto& info) { return std::string(scan_kernel_name(info.param)); });

// Run under an emulated processor, or told what this one has
// (tests/CMakeLists.txt), the kernel chosen at start-up must be the one its
// instruction sets call for, and the kernels past them refused.
TEST(KernelChoice, TheFastestKernelThatTheProcessorRuns) {
    const char* expected = std::getenv("TRAFFIC_TOTALS_EXPECTED_KERNEL");
    if (expected == nullptr)
        GTEST_SKIP() << "set TRAFFIC_TOTALS_EXPECTED_KERNEL to the kernel this processor calls for (sse2, avx2, "
                        "avx512 or neon); ctest does, as KernelChoiceOnThisProcessor";
    const scan_kernel chosen = active_scan_kernel();
    EXPECT_STREQ(scan_kernel_name(chosen), expected);
    bool past_expected = false;
    for (const scan_kernel kernel : every_scan_kernel) {
        if (kernel == scan_kernel::plain) continue;  // runs everywhere, and is never the fastest
        EXPECT_EQ(use_scan_kernel(kernel), !past_expected) << scan_kernel_name(kernel);
        past_expected = past_expected || std::string(scan_kernel_name(kernel)) == expected;
    }
    use_scan_kernel(chosen);
}

}  // namespace
