// The Windows program run the way a user's command prompt runs it, in fresh
// folders; every byte it prints or leaves is checked, CR LF line ends included.
#include <gtest/gtest.h>
#include <process.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "expected_output.hpp"
#include "reference_scan.hpp"
#include "report_text.hpp"
#include "scratch_folder.hpp"

namespace {

namespace fs = std::filesystem;

std::string native(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

struct run_result {
    std::string out, err;
    int status;
};

// The program run in the folder by the command processor, its output kept beside the folder.
run_result run_in(const scratch_folder& folder) {
    const std::string out = folder.beside("stdout").string(), err = folder.beside("stderr").string();
    const std::string command = "\"cd /d \"" + folder.path() + "\" && \"" + native(TRAFFIC_TOTALS_PROGRAM) +
                                "\" <NUL >\"" + out + "\" 2>\"" + err + "\"\"";
    const int status = std::system(command.c_str());
    return {read_file(out), read_file(err), status};
}

// With standard input no console there is no key to wait for: the program
// shows its own prompt and ends, as on Linux.
std::string expected_windows_console(const std::vector<report_figures>& reports, const std::string& folder,
                                     const total_sizes& sizes) {
    return crlf(expected_console(reports, folder, sizes));
}

// The reports in the order the run showed them: the search's order is the system's.
std::vector<report_figures> in_shown_order(std::vector<report_figures> reports, const std::string& out) {
    std::sort(reports.begin(), reports.end(), [&](const report_figures& a, const report_figures& b) {
        return out.find("REPORT FOR [" + a.name + "]") < out.find("REPORT FOR [" + b.name + "]");
    });
    return reports;
}

report_figures figures_of(const std::string& name, const std::string& html) {
    const scan_counts counts = reference_scan(html);
    return {name, html.size(), counts.connections, counts.uploads, counts.downloads};
}

const std::string one_row = table_rows({traffic_row("512", "1536")});
const total_sizes one_row_sizes{"   512.000 bytes", "     1.500 KB", "     2.000 KB"};

TEST(WindowsEndToEnd, EmptyFolderGivesTheTotalsAlone) {
    scratch_folder folder;
    const run_result run = run_in(folder);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, expected_windows_console({}, folder.path(), zero_sizes));
    EXPECT_EQ(folder.contents(), (files{{"izhod__etc.txt", crlf(expected_summary({}, folder.path(), zero_sizes))}}));
}

TEST(WindowsEndToEnd, ReportsInCaseMixedNamesInTheSystemsOrder) {
    scratch_folder folder;
    const std::string two_rows = table_rows({traffic_row("1000", "2000"), traffic_row("24", "48")});
    folder.write("b.htm", one_row);
    folder.write("A.HTML", two_rows);
    folder.write("c.Htm", one_row);
    folder.write("notes.txt", one_row);
    const run_result run = run_in(folder);
    const auto reports = in_shown_order({{"A.HTML", two_rows.size(), 2, 1024, 2048},
                                         {"b.htm", one_row.size(), 1, 512, 1536},
                                         {"c.Htm", one_row.size(), 1, 512, 1536}},
                                        run.out);
    const total_sizes sizes{"     2.000 KB", "     5.000 KB", "     7.000 KB"};
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, expected_windows_console(reports, folder.path(), sizes));
    EXPECT_EQ(
        folder.contents(),
        (files{{"A.HTML", two_rows},
               {"b.htm", one_row},
               {"c.Htm", one_row},
               {"notes.txt", one_row},
               {"izhod_" + reports[0].name + "_etc.txt", crlf(expected_summary(reports, folder.path(), sizes))}}));
}

TEST(WindowsEndToEnd, EarlierSummariesAreNeitherScannedNorNamedAfter) {
    scratch_folder folder;
    folder.write("traffic.htm", one_row);
    folder.write("IZHOD_old.htm_ETC.TXT", "<tr><td><td><td><td><td>99");
    const std::vector<report_figures> reports{{"traffic.htm", one_row.size(), 1, 512, 1536}};
    for (int run_number = 1; run_number <= 2; ++run_number) {
        const run_result run = run_in(folder);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, expected_windows_console(reports, folder.path(), one_row_sizes)) << run_number;
        EXPECT_EQ(
            folder.contents(),
            (files{{"traffic.htm", one_row},
                   {"IZHOD_old.htm_ETC.TXT", "<tr><td><td><td><td><td>99"},
                   {"izhod_traffic.htm_etc.txt", crlf(expected_summary(reports, folder.path(), one_row_sizes))}}));
    }
}

TEST(WindowsEndToEnd, AReportOverTheReadBufferWithOpenersAndNumbersOnItsEdges) {
    // Put "<td" across the first 64 KiB edge, a digit run across the second,
    // and "<tr" across the third; the cells in between finish their cycle of
    // nine, so the rows after them keep their places.
    std::string html = table_rows({traffic_row("1", "2")});
    const auto pad_to = [&](std::size_t edge) { html += std::string(edge - html.size(), 'x'); };
    pad_to(65536 - 1);
    html += "<td><td><td><td>";
    pad_to(2 * 65536 - 8);
    html += "<td>123456789<td>987654321<td><td><td>\r\n";
    pad_to(3 * 65536 - 2);
    html += "<tr>" + table_rows({traffic_row("77", "88"), traffic_row("3000000000", "1")});
    scratch_folder folder;
    folder.write("big.htm", html);
    const report_figures big = figures_of("big.htm", html);
    ASSERT_EQ(big.uploads, 1 + 123456789ull + 77 + 3000000000ull);
    ASSERT_EQ(big.downloads, 2 + 987654321ull + 88 + 1);
    ASSERT_EQ(big.connections, 4u);
    const run_result run = run_in(folder);
    const total_sizes sizes{"     2.909 GB", "   941.901 MB", "     3.829 GB"};
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, expected_windows_console({big}, folder.path(), sizes));
    EXPECT_EQ(folder.read("izhod_big.htm_etc.txt"), crlf(expected_summary({big}, folder.path(), sizes)));
}

TEST(WindowsEndToEnd, ADirectoryNamedLikeAReportCountsAsEmptyAndFailsTheRun) {
    scratch_folder folder;
    fs::create_directory(fs::path(folder.path()) / "archive.htm");
    const run_result run = run_in(folder);
    const std::vector<report_figures> reports{{"archive.htm", 0, 0, 0, 0, {}}};
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "traffic-totals: cannot read 'archive.htm': not a regular file\r\n");
    EXPECT_EQ(run.out, expected_windows_console(reports, folder.path(), zero_sizes));
    EXPECT_EQ(folder.read("izhod_archive.htm_etc.txt"), crlf(expected_summary(reports, folder.path(), zero_sizes)));
}

// A report that another program holds open sharing nothing (as Excel does):
// its size line shows the size the search found, and the reason is Windows'
// own, in the system's language.
TEST(WindowsEndToEnd, AReportLockedByAnotherProgramIsSaidInWindowsWords) {
    scratch_folder folder;
    folder.write("a.htm", one_row);
    folder.write("b.htm", one_row + one_row);
    const std::wstring locked_path = (fs::path(folder.path()) / "b.htm").wstring();
    const HANDLE lock = CreateFileW(locked_path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    const run_result run = run_in(folder);
    CloseHandle(lock);
    char text[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  ERROR_SHARING_VIOLATION, 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == '.')) --length;
    ASSERT_GT(length, 0u);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "traffic-totals: cannot read 'b.htm': " + std::string(text, length) + "\r\n");
    const std::vector<report_figures> reports{{"a.htm", one_row.size(), 1, 512, 1536},
                                              {"b.htm", 2 * one_row.size(), 0, 0, 0}};
    EXPECT_EQ(run.out, expected_windows_console(reports, folder.path(), one_row_sizes));
    EXPECT_EQ(folder.read("izhod_a.htm_etc.txt"), crlf(expected_summary(reports, folder.path(), one_row_sizes)));
}

// Totals in each unit, on the boundaries, past 4 GB, and the rounding cases.
TEST(WindowsEndToEnd, SizesRoundAsOnLinux) {
    constexpr std::uint64_t mib = 1ull << 20, gib = 1ull << 30;
    const struct {
        std::uint64_t up, down;
        total_sizes sizes;
    } cases[] = {
        {1024, 1025, {"  1024.000 bytes", "     1.001 KB", "     2.001 KB"}},
        {1088, 1216, {"     1.062 KB", "     1.188 KB", "     2.250 KB"}},
        {33 * mib + 525, 16 * mib + 525, {"    33.000 MB", "    16.000 MB", "    49.001 MB"}},
        {gib, 3000000000ull, {"  1024.000 MB", "     2.794 GB", "     3.794 GB"}},
        {3 * gib, 2 * gib, {"     3.000 GB", "     2.000 GB", "     5.000 GB"}},
    };
    for (const auto& c : cases) {
        scratch_folder folder;
        const std::string html = table_rows({traffic_row(std::to_string(c.up), std::to_string(c.down))});
        folder.write("r.htm", html);
        const std::vector<report_figures> reports{{"r.htm", html.size(), 1, c.up, c.down}};
        const run_result run = run_in(folder);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, expected_windows_console(reports, folder.path(), c.sizes)) << c.up;
        EXPECT_EQ(folder.read("izhod_r.htm_etc.txt"), crlf(expected_summary(reports, folder.path(), c.sizes)));
    }
}

}  // namespace

// Reports named in several scripts, in a folder whose path holds Cyrillic and
// a space, run under the ANSI code page the test runs with (1251 or 1252).
// Every report is found and read by its own name; the summary has names and
// path in Windows-1251; standard output, a pipe, has them in the ANSI code
// page, one "?" for each character the page lacks.
TEST(WindowsNames, EveryReportIsReadByItsRealName) {
    const UINT code_page = GetACP();
    ASSERT_TRUE(code_page == 1251 || code_page == 1252) << code_page;
    const bool cyrillic = code_page == 1251;
    struct named_report {
        std::wstring name;
        std::string in_1251, in_1252;
    };
    const named_report names[] = {
        {L"plain.htm", "plain.htm", "plain.htm"},
        {L"\u0442\u0440\u0430\u0444\u0438\u043A.htm", "\xF2\xF0\xE0\xF4\xE8\xEA.htm", "??????.htm"},  // трафик
        {L"\u03B3\u03B5\u03B9\u03AC.htm", "????.htm", "????.htm"},                                    // γειά
        {L"\u6D41\u91CF.htm", "??.htm", "??.htm"},                                                    // 流量
        {L"\U0001F600.htm", "?.htm", "?.htm"},                                                        // an emoji
        {L"caf\u00E9.htm", "caf?.htm", "caf\xE9.htm"},
        {L"cafe.htm", "cafe.htm", "cafe.htm"},
        {L"REPORT.HTML", "REPORT.HTML", "REPORT.HTML"},
    };
    const std::wstring leaf = L"\u043E\u0442\u0447\u0435\u0442\u0438 2026";  // отчети 2026
    const std::string leaf_1251 = "\xEE\xF2\xF7\xE5\xF2\xE8 2026", leaf_1252 = "?????? 2026";

    const fs::path top = fs::temp_directory_path() / ("traffic-totals-names-" + std::to_string(_getpid()));
    const fs::path folder = top / leaf;
    fs::create_directories(folder);
    fs::create_directories(top / "out");
    const fs::path here = fs::current_path();
    fs::current_path(top);
    const std::string top_path = fs::current_path().string();  // ASCII, as the program sees it
    fs::current_path(here);

    std::vector<report_figures> reports;
    for (std::size_t i = 0; i < std::size(names); ++i) {
        const std::string html =
            table_rows({traffic_row(std::to_string(100 * (i + 1)), std::to_string(1000 * (i + 1)))});
        write_file(folder / names[i].name, html);
        reports.push_back({cyrillic ? names[i].in_1251 : names[i].in_1252, html.size(), 1, 100 * (i + 1),
                           1000 * (i + 1), names[i].in_1251});
    }
    const std::wstring earlier = L"izhod_\u043E\u0442\u0447\u0435\u0442.htm_etc.txt";  // izhod_отчет.htm_etc.txt
    write_file(folder / earlier, "<tr><td><td><td><td><td>99");

    const fs::path err = top / "out" / "stderr";
    const std::wstring command = L"cd /d \"" + folder.wstring() + L"\" && \"" +
                                 fs::path(native(TRAFFIC_TOTALS_PROGRAM)).wstring() + L"\" <NUL 2>\"" + err.wstring() +
                                 L"\"";
    std::FILE* pipe = _wpopen(command.c_str(), L"rb");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, got);
    const int status = _pclose(pipe);

    // The order is the system's: take it from the summary, where every name differs.
    const std::string summary_path_text = top_path + "\\" + leaf_1251;
    std::wstring first_name;
    std::vector<report_figures> shown;
    {
        std::vector<std::pair<std::size_t, std::size_t>> at;
        fs::path summary_file;
        for (const auto& item : fs::directory_iterator(folder))
            if (item.path().filename().wstring().rfind(L"izhod_", 0) == 0 && item.path().filename() != earlier)
                summary_file = item.path();
        ASSERT_FALSE(summary_file.empty());
        const std::string summary = read_file(summary_file);
        for (std::size_t i = 0; i < reports.size(); ++i)
            at.push_back({summary.find("Report for [" + names[i].in_1251 + "]"), i});
        std::sort(at.begin(), at.end());
        for (const auto& [position, i] : at) {
            ASSERT_NE(position, std::string::npos) << names[i].in_1251;
            shown.push_back(reports[i]);
        }
        first_name = names[at.front().second].name;
        EXPECT_EQ(summary_file.filename().wstring(), L"izhod_" + first_name + L"_etc.txt");
        // Hidden while it was written, an ordinary file once in place.
        const DWORD attributes = GetFileAttributesW(summary_file.wstring().c_str());
        EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM), 0u);
        const total_sizes sizes{"     3.516 KB", "    35.156 KB", "    38.672 KB"};
        EXPECT_EQ(summary, crlf(expected_summary(shown, summary_path_text, sizes)));
        const std::string console_path = top_path + "\\" + (cyrillic ? leaf_1251 : leaf_1252);
        EXPECT_EQ(out, expected_windows_console(shown, console_path, sizes));
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(err), "");
    EXPECT_EQ(read_file(folder / earlier), "<tr><td><td><td><td><td>99");
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& item : fs::directory_iterator(folder)) ++entries;
    EXPECT_EQ(entries, std::size(names) + 2) << "the reports, the earlier summary and the new one";
    std::error_code ignored;
    fs::remove_all(top, ignored);
}

// A folder path of about 200 units and a report name of 80: together past the
// 259 units of a plain path, so the report and the summary are reached
// through the long form of the path.
TEST(WindowsNames, ANameThatTakesThePathPastItsPlainLimit) {
    const fs::path top = fs::temp_directory_path() / ("traffic-totals-long-" + std::to_string(_getpid()));
    fs::path folder = top;
    while (folder.wstring().size() < 200) folder /= std::wstring(40, L'd');
    fs::create_directories(folder);
    const std::wstring name = std::wstring(76, L'\u0436') + L".htm";  // 76 times ж
    const std::string html = table_rows({traffic_row("512", "1536")});
    write_file(folder / name, html);
    const fs::path out = top / "stdout";
    const std::wstring command = L"cd /d \"" + folder.wstring() + L"\" && \"" +
                                 fs::path(native(TRAFFIC_TOTALS_PROGRAM)).wstring() + L"\" <NUL >\"" + out.wstring() +
                                 L"\" 2>&1";
    const int status = _wsystem(command.c_str());
    EXPECT_EQ(status, 0) << read_file(out);
    const fs::path summary = folder / (L"izhod_" + name + L"_etc.txt");
    ASSERT_GT(folder.wstring().size() + 1 + summary.filename().wstring().size(), 259u);
    const std::string summary_text = read_file(summary);
    EXPECT_NE(summary_text.find("\r\n1. Report for [" + std::string(76, '\xE6') + ".htm]:\r\n"), std::string::npos);
    EXPECT_NE(summary_text.find("       512 BYTES"), std::string::npos) << summary_text;
    std::error_code ignored;
    fs::remove_all(top, ignored);
}
