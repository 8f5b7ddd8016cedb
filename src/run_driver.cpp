// The program's entry: find the reports, scan each, write the totals, keep the
// summary only when it is complete, and wait for a key.
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <system_error>

#include "diagnostics.hpp"
#include "output_streams.hpp"
#include "platform.hpp"
#include "reading_pool.hpp"
#include "report_names.hpp"
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

// Reports are read ahead on other threads and written here in the search's order.
tallies scan_reports(bool matched, report_entry& entry) {
    tallies totals{};
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
    return totals;
}

// The reason an exception stands for, in the words of a failed call.
std::string reason_of(const std::exception& failure) {
    if (const auto* system = dynamic_cast<const std::system_error*>(&failure)) return system->code().message();
    if (dynamic_cast<const std::bad_alloc*>(&failure) != nullptr) return std::strerror(ENOMEM);
    return failure.what();
}

void report_summary_failure(const std::string& final_name, const std::string& reason) {
    report_failure("cannot write '%s': %s", shown_in_message(final_name).c_str(), reason.c_str());
}

int run_driver() {
    platform::prepare_run();

    report_entry entry{};
    const bool matched = find_report(true, entry);
    const std::string final_name = summary_name(matched ? entry.name : "");

    std::string reason;
    summary_file.summary = platform::create_summary(reason);
    summary_file.open = summary_file.summary != platform::no_summary;
    if (!summary_file.open) report_summary_failure(final_name, reason);

    try {
        write_totals(scan_reports(matched, entry));
    } catch (const std::exception& failure) {
        // Memory or a thread the run cannot do without: the summary would be
        // incomplete, so an earlier one stays, and the run says why.
        if (summary_file.open) platform::discard_summary(summary_file.summary);
        summary_file.open = false;
        report_summary_failure(final_name, reason_of(failure));
    }

    if (matched) platform::close_report_search();
    if (summary_file.open) {
        if (!flush_text(summary_file)) {
            platform::discard_summary(summary_file.summary);
            reason = summary_file.failure;
        } else if (platform::commit_summary(summary_file.summary, final_name, reason)) {
            reason.clear();
        }
        summary_file.open = false;
        if (!reason.empty()) report_summary_failure(final_name, reason);
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
