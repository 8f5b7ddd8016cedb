// The program's entry: find the reports, scan each, write the totals, keep the
// summary only when it is complete, and wait for a key.
#include <string>

#include "platform.hpp"
#include "reading_pool.hpp"
#include "report_scanner.hpp"
#include "tallies.hpp"
#include "totals_block.hpp"

namespace {

// A summary of an earlier run is no report: it would add nothing but an
// ordinal, and it must never give the new summary its name.
bool find_report(bool first, report_entry& entry) {
    std::string problem;
    bool found = first ? platform::find_first_report(entry, problem) : platform::find_next_report(entry, problem);
    while (found && is_earlier_summary(entry.name)) found = platform::find_next_report(entry, problem);
    if (!problem.empty()) report_directory_failure(problem);
    return found;
}

int run_driver() {
    platform::prepare_run();

    report_entry entry{};
    const bool matched = find_report(true, entry);
    const std::string final_name = summary_name(matched ? entry.name : "");

    std::string reason;
    summary_file.file = platform::create_summary(reason);
    if (summary_file.file == nullptr)
        report_failure("cannot write '%s': %s", shown_in_message(final_name).c_str(), reason.c_str());

    // Reports are read ahead on other threads and written here in the search's order.
    tallies totals{};
    {
        reading_pool pool(platform::processors());
        bool more = matched;
        for (;;) {
            for (; more && pool.has_room(); more = find_report(false, entry)) pool.give(entry);
            if (pool.empty()) break;
            progress_line progress;
            const auto report = pool.take([&progress](const report_entry& being_read, const reading_progress& done) {
                progress.update(being_read, done);
            });
            progress.wipe();
            const scan_counts counts =
                scan_report(report.entry, report.reading, totals.reports_done + 1, progress.size_line_shown());
            totals.total_uploads += counts.uploads;
            totals.total_downloads += counts.downloads;
            totals.total_connections += counts.connections;
            totals.reports_done += 1;
        }
    }

    write_totals(totals);

    if (matched) platform::close_report_search();
    if (summary_file.file != nullptr) {
        if (!summary_file.failure.empty()) {
            platform::discard_summary(summary_file.file);
            reason = summary_file.failure;
        } else if (platform::commit_summary(summary_file.file, final_name, reason)) {
            reason.clear();
        }
        summary_file.file = nullptr;
        if (!reason.empty())
            report_failure("cannot write '%s': %s", shown_in_message(final_name).c_str(), reason.c_str());
    }

    write_text(console, "\n");
    flush_text(console);
    const std::string prompt_failure = platform::pause();
    if (console.failure.empty()) console.failure = prompt_failure;

    if (!console.failure.empty()) {
        platform::write_standard(platform::standard_stream::error,
                                 "traffic-totals: write error: " + console.failure + "\n");
        return 1;
    }
    return run_failed() ? 1 : 0;
}

}  // namespace

int main() { return run_driver(); }
