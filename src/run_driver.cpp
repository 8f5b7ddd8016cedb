// The program's entry: find the reports, scan each, write the totals, keep the
// summary only when it is complete, and wait for a key.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform.hpp"
#include "report_scanner.hpp"
#include "tallies.hpp"
#include "totals_block.hpp"

namespace {

// A summary of an earlier run is no report: it would add nothing but an
// ordinal, and it must never give the new summary its name.
bool find_report(bool first, report_entry& entry) {
    bool found = first ? platform::find_first_report(entry) : platform::find_next_report(entry);
    while (found && is_earlier_summary(entry.name)) found = platform::find_next_report(entry);
    return found;
}

int run_driver() {
    platform::prepare_run();
    // Standard output is flushed when it matters (before a message, a progress
    // line and the pause), not at every line, even on a terminal.
    static char console_buffer[1 << 16];
    std::setvbuf(stdout, console_buffer, _IOFBF, sizeof console_buffer);

    report_entry entry{};
    const bool matched = find_report(true, entry);
    const std::string final_name = summary_name(matched ? entry.name : "");

    const char* reason = nullptr;
    summary_file = text_stream{platform::create_summary(reason), 0};
    if (summary_file.file == nullptr) report_failure("cannot write '%s': %s", final_name.c_str(), reason);

    for (bool more = matched; more; more = find_report(false, entry)) scan_report(entry);

    write_totals();

    if (matched) platform::close_report_search();
    if (summary_file.file != nullptr) {
        if (summary_file.error != 0) {
            platform::discard_summary(summary_file.file);
            report_failure("cannot write '%s': %s", final_name.c_str(), std::strerror(summary_file.error));
        } else if (!platform::commit_summary(summary_file.file, final_name.c_str(), reason)) {
            report_failure("cannot write '%s': %s", final_name.c_str(), reason);
        }
        summary_file.file = nullptr;
    }

    write_text(console, "\n");
    platform::pause();

    if (!flush_text(console)) {
        std::fprintf(stderr, "traffic-totals: write error: %s\n", std::strerror(console.error));
        return 1;
    }
    return run_failed() ? 1 : 0;
}

}  // namespace

int main() { return run_driver(); }
