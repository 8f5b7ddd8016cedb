// What a terminal shows: names that cannot take it over, and a progress line
// that is redrawn in place whatever the terminal's width.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <string>

#include "run_program.hpp"
#include "terminal_run.hpp"

namespace {

constexpr const char* prompt = "Press any key to continue . . . ";

TEST(Terminal, NamesCannotTakeItOver) {
    scratch_folder folder;
    const std::string title = "\x1B]0;pwned\x07.htm", clear = "\x1B[2J.htm",
                      c1 = "\xC2\x9B"
                           "31m.htm",
                      raw_csi =
                          "\x9B"
                          "2J.htm",
                      reversed = "\xE2\x80\xAEgpj.htm";  // shows as "mth.jpg"
    for (const auto& name : {title, clear, c1, raw_csi, reversed}) folder.write(name, "<tr><td>1");
    ASSERT_EQ(symlink("nowhere", (folder.path() + "/\x1B[31mred.htm").c_str()), 0);
    terminal_run run(folder.path());
    ASSERT_GT(run.child, 0);
    ASSERT_TRUE(run.wait_for(prompt)) << run.seen;
    ASSERT_EQ(write(run.master, "k", 1), 1);
    const int status = run.finish();
    run.drain();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_EQ(run.seen.find('\x1B'), std::string::npos) << run.seen;
    EXPECT_EQ(run.seen.find('\x07'), std::string::npos);
    EXPECT_EQ(run.seen.find("\xC2\x9B"), std::string::npos);
    EXPECT_EQ(run.seen.find('\x9B'), std::string::npos);
    EXPECT_EQ(run.seen.find("\xE2\x80\xAE"), std::string::npos);
    for (const char* shown :
         {"REPORT FOR [?]0;pwned?.htm]", "REPORT FOR [?[2J.htm]", "REPORT FOR [?31m.htm]", "REPORT FOR [?2J.htm]",
          "REPORT FOR [?gpj.htm]", "traffic-totals: cannot read '?[31mred.htm': No such file or directory"})
        EXPECT_NE(run.seen.find(shown), std::string::npos) << shown;
    // The summary is no terminal: it keeps the names as they are.
    const std::string summary = folder.read("izhod_\x1B[2J.htm_etc.txt");
    EXPECT_NE(summary.find("Report for [" + title + "]"), std::string::npos);
    EXPECT_NE(summary.find("Report for [" + clear + "]"), std::string::npos);
    EXPECT_NE(summary.find("Report for [" + raw_csi + "]"), std::string::npos);
}

// A 140-character name on a terminal of 80 and of 60 columns, and on one
// narrowed from 80 to 40 while the line shows: every redraw of the progress
// line stays within the width less one, so it never wraps. (A redraw the
// program had measured before the narrowing shows the name cut at 74
// columns, and is not held to the new width.)
TEST(Terminal, TheProgressLineFitsTheTerminal) {
    const struct {
        unsigned short columns, narrowed_to;
    } cases[] = {{80, 0}, {60, 0}, {80, 40}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.columns) + " to " + std::to_string(c.narrowed_to));
        scratch_folder folder, elsewhere("out");
        const std::string name = std::string(136, 'n') + ".htm";
        folder.write(name, "<tr>");
        // Long enough to be still in the scan when a few redraws have been seen.
        ASSERT_EQ(truncate((folder.path() + "/" + name).c_str(), 1ll << 40), 0);
        terminal_run run(folder.path(), elsewhere.path() + "/stdout", c.columns);
        ASSERT_GT(run.child, 0);
        const auto redraws_seen = [&run] { return std::count(run.seen.begin(), run.seen.end(), '%'); };
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (redraws_seen() < 5 && std::chrono::steady_clock::now() < deadline) run.drain();
        std::size_t narrowed_at = run.seen.size();
        if (c.narrowed_to != 0) {
            const winsize narrower{24, c.narrowed_to, 0, 0};
            ASSERT_EQ(ioctl(run.master, TIOCSWINSZ, &narrower), 0);
            narrowed_at = run.seen.size();
            while (redraws_seen() < 10 && std::chrono::steady_clock::now() < deadline) run.drain();
        }
        kill(run.child, SIGTERM);
        run.finish();
        run.drain();
        std::size_t redraws = 0, narrow_redraws = 0;
        for (std::size_t start = 0; start < run.seen.size();) {
            std::size_t end = run.seen.find('\r', start);
            if (end == std::string::npos) end = run.seen.size();
            const std::string line = run.seen.substr(start, end - start);
            const bool measured_narrow = start >= narrowed_at && line.find(std::string(c.columns - 6, 'n')) != 0;
            const std::size_t width = measured_narrow ? c.narrowed_to : c.columns;
            EXPECT_LE(line.size(), width - 1u) << line;
            if (line.find('%') != std::string::npos) {
                ++redraws;
                narrow_redraws += measured_narrow ? 1 : 0;
                EXPECT_EQ(line.substr(0, 10), std::string(10, 'n'));
            }
            start = end + 1;
        }
        EXPECT_GT(redraws, 0u) << "the progress line was shown";
        if (c.narrowed_to != 0) EXPECT_GT(narrow_redraws, 0u) << "the line was redrawn after the narrowing";
    }
}

}  // namespace
