// The built program run in fresh folders; every byte it prints or leaves is checked.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "expected_output.hpp"
#include "report_text.hpp"
#include "run_program.hpp"

namespace {

const std::string two_rows = table_rows({traffic_row("1000", "2000"), traffic_row("24", "48")});
const std::string one_row = table_rows({traffic_row("512", "1536")});

TEST(EndToEnd, EmptyFolderGivesTheTotalsAlone) {
    scratch_folder folder;
    const run_result run = run_program(folder.path());
    EXPECT_TRUE(run.exited_with(0));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, expected_console({}, folder.path(), zero_sizes));
    EXPECT_EQ(folder.contents(), (files{{"izhod__etc.txt", expected_summary({}, folder.path(), zero_sizes)}}));
}

TEST(EndToEnd, TwoReportsInByteOrderOfTheirNames) {
    scratch_folder folder;
    folder.write("b.htm", one_row);
    folder.write("A.HTML", two_rows);
    folder.write("notes.txt", one_row);
    const run_result run = run_program(folder.path());

    // Written out in full once, line by line, to pin down the layout itself.
    const std::string console = "\n" + std::to_string(two_rows.size()) +
                                " | A.HTML \n"
                                "\n"
                                " REPORT FOR [A.HTML]\n"
                                " TOTAL CONNECTIONS            2 \n"
                                " TOTAL UPLOADS             1024 BYTES\n"
                                " TOTAL DOWNLOADS           2048 BYTES"
                                "\n" +
                                std::to_string(one_row.size()) +
                                " | b.htm \n"
                                "\n"
                                " REPORT FOR [b.htm]\n"
                                " TOTAL CONNECTIONS            1 \n"
                                " TOTAL UPLOADS              512 BYTES\n"
                                " TOTAL DOWNLOADS           1536 BYTES\n"
                                "------------------------------------------------------\n"
                                " Total for all reports in [" +
                                folder.path() +
                                "]\n"
                                "\n"
                                " Total Connections :            3\n"
                                "\n"
                                " Total Uploads     :     1.500 KB\n"
                                "\n"
                                " Total Downloads   :     3.500 KB\n"
                                "\n"
                                " Up & Down         :     5.000 KB\n"
                                "\n"
                                "Press any key to continue . . . \n";
    const total_sizes sizes{"     1.500 KB", "     3.500 KB", "     5.000 KB"};
    const std::vector<report_figures> reports{{"A.HTML", two_rows.size(), 2, 1024, 2048},
                                              {"b.htm", one_row.size(), 1, 512, 1536}};
    EXPECT_TRUE(run.exited_with(0));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, console);
    EXPECT_EQ(run.out, expected_console(reports, folder.path(), sizes));
    EXPECT_EQ(folder.contents(), (files{{"A.HTML", two_rows},
                                        {"b.htm", one_row},
                                        {"notes.txt", one_row},
                                        {"izhod_A.HTML_etc.txt", expected_summary(reports, folder.path(), sizes)}}));
}

TEST(EndToEnd, EarlierSummariesAreNeitherScannedNorNamedAfter) {
    scratch_folder folder;
    folder.write("traffic.htm", one_row);
    folder.write("IZHOD_old.htm_ETC.TXT", "<tr><td><td><td><td><td>99");
    const std::vector<report_figures> reports{{"traffic.htm", one_row.size(), 1, 512, 1536}};
    const total_sizes sizes{"   512.000 bytes", "     1.500 KB", "     2.000 KB"};
    for (int run_number = 1; run_number <= 2; ++run_number) {
        const run_result run = run_program(folder.path());
        EXPECT_TRUE(run.exited_with(0));
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, expected_console(reports, folder.path(), sizes)) << "run " << run_number;
        EXPECT_EQ(folder.contents(),
                  (files{{"traffic.htm", one_row},
                         {"IZHOD_old.htm_ETC.TXT", "<tr><td><td><td><td><td>99"},
                         {"izhod_traffic.htm_etc.txt", expected_summary(reports, folder.path(), sizes)}}));
    }
}

TEST(EndToEnd, ReportLargerThanTheReadBufferIsScannedWhole) {
    // Row i carries i bytes up and 3i down, so the sums are n(n+1)/2 and three times that.
    constexpr std::uint64_t rows = 20000;
    std::string html = "<html><table>\r\n<tr><th>from</th><th>to</th></tr>\r\n";
    for (std::uint64_t i = 1; i <= rows; ++i)
        html += table_rows({traffic_row(std::to_string(i), std::to_string(3 * i))});
    ASSERT_GT(html.size(), 1u << 20);
    scratch_folder folder;
    folder.write("big.html", html);
    const std::uint64_t up = rows * (rows + 1) / 2;  // 200010000 bytes: 190.744 MB
    const std::vector<report_figures> reports{{"big.html", html.size(), rows + 1, up, 3 * up}};
    const total_sizes sizes{"   190.744 MB", "   572.233 MB", "   762.978 MB"};
    const run_result run = run_program(folder.path());
    EXPECT_TRUE(run.exited_with(0));
    EXPECT_EQ(run.out, expected_console(reports, folder.path(), sizes));
    EXPECT_EQ(folder.read("izhod_big.html_etc.txt"), expected_summary(reports, folder.path(), sizes));
}

TEST(EndToEnd, ADirectoryNamedLikeAReportCountsAsEmptyAndFailsTheRun) {
    scratch_folder folder;
    std::filesystem::create_directory(folder.path() + "/archive.htm");
    folder.write("z.htm", one_row);
    const std::vector<report_figures> reports{{"archive.htm", 0, 0, 0, 0}, {"z.htm", one_row.size(), 1, 512, 1536}};
    const total_sizes sizes{"   512.000 bytes", "     1.500 KB", "     2.000 KB"};
    const run_result run = run_program(folder.path());
    EXPECT_TRUE(run.exited_with(1));
    EXPECT_EQ(run.err, "traffic-totals: cannot read 'archive.htm': not a regular file\n");
    EXPECT_EQ(run.out, expected_console(reports, folder.path(), sizes));
    EXPECT_EQ(folder.contents(),
              (files{{"archive.htm", "<dir>"},
                     {"z.htm", one_row},
                     {"izhod_archive.htm_etc.txt", expected_summary(reports, folder.path(), sizes)}}));
}

TEST(EndToEnd, LongNamesCutTheSummaryNameAt255Bytes) {
    for (std::size_t length : {241u, 242u, 250u, 255u}) {
        scratch_folder folder;
        const std::string name = std::string(length - 4, 'n') + ".htm";
        folder.write(name, one_row);
        const std::string summary = "izhod_" + name.substr(0, 241) + "_etc.txt";
        ASSERT_LE(summary.size(), 255u);
        const std::vector<report_figures> reports{{name, one_row.size(), 1, 512, 1536}};
        const total_sizes sizes{"   512.000 bytes", "     1.500 KB", "     2.000 KB"};
        const run_result run = run_program(folder.path());
        EXPECT_TRUE(run.exited_with(0)) << length;
        EXPECT_EQ(run.out, expected_console(reports, folder.path(), sizes)) << length;
        EXPECT_EQ(folder.contents(),
                  (files{{name, one_row}, {summary, expected_summary(reports, folder.path(), sizes)}}))
            << length;
    }
}

// The order is the names' bytes, as unsigned bytes, whole: names that share
// their first eight bytes, shorter ones, and bytes above 0x7F.
TEST(EndToEnd, ReportsComeInTheByteOrderOfTheirWholeNames) {
    const std::vector<std::string> names = {"abcdefgh.htm",  "abcdefgh1.htm",    "abcdefg.htm", "abcdefgh10.htm",
                                            "abcdefghi.htm", "abcdefgh.htm.htm", "ab.htm",      "Z.htm",
                                            "abcdefgh0.htm", "caf\xE9.htm",      "caf\x7F.htm", "abcdefgh\xE9.htm",
                                            "abcdefgh~.htm", "abcdefgha.htm.htm"};
    scratch_folder folder;
    for (const std::string& name : names) folder.write(name, one_row);
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());  // std::string compares bytes as unsigned
    std::vector<report_figures> reports;
    for (const std::string& name : sorted) reports.push_back({name, one_row.size(), 1, 512, 1536});
    const total_sizes sizes{"     7.000 KB", "    21.000 KB", "    28.000 KB"};
    const run_result run = run_program(folder.path());
    EXPECT_TRUE(run.exited_with(0));
    EXPECT_EQ(run.out, expected_console(reports, folder.path(), sizes));
}

// The console shows names and the folder's path as the system gives them;
// the summary has them in Windows-1251 like its labels, one "?" for each
// character that 1251 lacks, and a name that is not UTF-8 as its bytes.
TEST(EndToEnd, NamesAndPathsInTheSummaryAreWindows1251) {
    const struct {
        std::string name, in_summary;
    } cases[] = {
        {"caf\xE9.htm", "caf\xE9.htm"},                                                // Latin-1, not UTF-8: raw
        {"\xD0\xBE\xD1\x82\xD1\x87\xD1\x91\xD1\x82.htm", "\xEE\xF2\xF7\xB8\xF2.htm"},  // отчёт
        {"caf\xC3\xA9.htm", "caf?.htm"},                                               // é: no look-alike
        {"\xCE\xB1\xE2\x84\x96 \xF0\x9F\x98\x80.htm", "?\xB9 ?.htm"},                  // α№ and an emoji
        {"\xE2\x82\xAC\xC2\xA0\xD1\x9E.html", "\x88\xA0\xA2.html"},                    // € no-break space ў
    };
    for (const auto& c : cases) {
        // A folder whose path holds "<td>" and Cyrillic UTF-8 (ж is 0xE6 in 1251).
        scratch_folder folder("<td>5 \xD0\xB6 <tr>");
        const std::string path_in_summary = folder.path().substr(0, folder.path().size() - 13) + "<td>5 \xE6 <tr>";
        folder.write(c.name, one_row);
        const std::vector<report_figures> reports{{c.name, one_row.size(), 1, 512, 1536, c.in_summary}};
        const total_sizes sizes{"   512.000 bytes", "     1.500 KB", "     2.000 KB"};
        const run_result run = run_program(folder.path(), {.arguments = {"--help", "-x"}});
        EXPECT_TRUE(run.exited_with(0));
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, expected_console(reports, folder.path(), sizes));
        EXPECT_EQ(folder.contents(),
                  (files{{c.name, one_row},
                         {"izhod_" + c.name + "_etc.txt", expected_summary(reports, path_in_summary, sizes)}}))
            << c.name;
    }
}

TEST(EndToEnd, TheSummaryGetsAnOrdinaryNewFilesPermissions) {
    scratch_folder folder;
    const mode_t old_mask = umask(027);
    run_program(folder.path());
    umask(old_mask);
    struct stat info {};
    ASSERT_EQ(stat((folder.path() + "/izhod__etc.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST(EndToEnd, ASummaryThatCannotBeWrittenIsReportedAndTheOldOneKept) {
    scratch_folder folder;
    folder.write("r.htm", one_row);
    std::filesystem::create_directory(folder.path() + "/izhod_r.htm_etc.txt");
    const run_result run = run_program(folder.path());
    EXPECT_TRUE(run.exited_with(1));
    EXPECT_EQ(run.err, "traffic-totals: cannot write 'izhod_r.htm_etc.txt': Is a directory\n");
    const total_sizes sizes{"   512.000 bytes", "     1.500 KB", "     2.000 KB"};
    EXPECT_EQ(run.out, expected_console({{"r.htm", one_row.size(), 1, 512, 1536}}, folder.path(), sizes));
    EXPECT_EQ(folder.contents(), (files{{"r.htm", one_row}, {"izhod_r.htm_etc.txt", "<dir>"}}));
}

}  // namespace
