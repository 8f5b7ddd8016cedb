// The program's entry: find the reports, read and write each, write the
// totals, keep the summary only when it is complete, and wait for a key.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <system_error>

#include "diagnostics.hpp"
#include "output_streams.hpp"
#include "platform.hpp"
#include "progress_line.hpp"
#include "reading_pool.hpp"
#include "report_files.hpp"
#include "report_names.hpp"
#include "report_scanner.hpp"
#include "tallies.hpp"
#include "totals_block.hpp"

namespace {

// The reports of the working directory in the search's order. A summary of an
// earlier run is no report: it would add nothing but an ordinal, and it must
// never give the new summary its name.
class report_search {
public:
    explicit report_search(diagnostics& messages) {
        if (const auto started = platform::start_report_search(); !started)
            messages.report_directory_failure(started.reason());
    }
    ~report_search() { platform::close_report_search(); }
    report_search(const report_search&) = delete;
    report_search& operator=(const report_search&) = delete;

    std::optional<report_entry> next() {
        std::optional<report_entry> entry;
        if (!ended_) {
            do entry = platform::next_report();
            while (entry && is_earlier_summary(entry->name));
        }
        ended_ = !entry;
        return entry;
    }

private:
    bool ended_ = false;
};

// The next report once read, its progress shown while it takes long.
reading_pool::taken_report next_read(reading_pool& pool, progress_line& progress) {
    for (;;) {
        if (const auto report = pool.take(std::chrono::milliseconds(100))) return *report;
        const auto awaited = pool.awaited();
        progress.update(awaited.entry, awaited.progress);
    }
}

// Reports are read ahead on other threads, as far as the pool has room, and
// written here one by one in the search's order; a report that takes long
// shows its progress meanwhile.
tallies read_and_write_reports(run_output& out, diagnostics& messages, report_search& search,
                               std::optional<report_entry> next) {
    tallies run{};
    report_files files;
    const unsigned processors = platform::processors();
    reading_pool pool(files, processors, shape_for(processors));
    for (;;) {
        for (; next && pool.has_room(); next = search.next()) pool.give(*next);
        if (pool.empty()) return run;

        progress_line progress(out.console, messages);
        const reading_pool::taken_report report = next_read(pool, progress);
        progress.wipe();

        run.totals +=
            scan_report(out, messages, report.entry, report.reading, run.reports_done + 1, progress.size_line_shown());
        run.reports_done += 1;
    }
}

// The reason an exception stands for, in the words of a failed call.
std::string reason_of(const std::exception& failure) {
    if (const auto* system = dynamic_cast<const std::system_error*>(&failure)) return system->code().message();
    if (dynamic_cast<const std::bad_alloc*>(&failure) != nullptr) return std::strerror(ENOMEM);
    return failure.what();
}

void report_summary_failure(diagnostics& messages, const std::string& final_name, const std::string& reason) {
    messages.report("cannot write '%s': %s", messages.shown(final_name).c_str(), reason.c_str());
}

// Puts the complete summary in place; an incomplete one is removed, and an
// earlier summary of the same name stays.
void keep_summary(run_output& out, diagnostics& messages, const std::string& final_name) {
    if (!out.summary.is_open()) return;
    const platform::summary_handle summary = out.summary.summary_handle();
    platform::result<> kept = platform::succeeded();
    if (out.summary.flush()) {
        kept = platform::commit_summary(summary, final_name);
    } else {
        platform::discard_summary(summary);
        kept = platform::failure{out.summary.failure()};
    }
    out.summary.close();
    if (!kept) report_summary_failure(messages, final_name, kept.reason());
}

int run_driver() {
    platform::prepare_run();
    run_output out;
    diagnostics messages(out.console);

    report_search search(messages);
    std::optional<report_entry> first = search.next();
    const std::string final_name = summary_name(first ? first->name : "");

    if (const auto summary = platform::create_summary(); summary)
        out.summary.open_summary(*summary);
    else
        report_summary_failure(messages, final_name, summary.reason());

    try {
        const tallies run = read_and_write_reports(out, messages, search, first);
        write_totals(out, messages, run);
    } catch (const std::exception& failure) {
        // Memory or a thread the run cannot do without: the summary would be
        // incomplete, so an earlier one stays, and the run says why.
        if (out.summary.is_open()) platform::discard_summary(out.summary.summary_handle());
        out.summary.close();
        report_summary_failure(messages, final_name, reason_of(failure));
    }
    keep_summary(out, messages, final_name);

    out.console.write("\n");
    out.console.flush();
    if (const auto paused = platform::pause(); !paused) out.console.fail(paused.reason());

    if (!out.console.failure().empty()) {
        platform::write_standard(platform::standard_stream::error,
                                 "traffic-totals: write error: " + out.console.failure() + "\n");
        return 1;
    }
    return messages.run_failed() ? 1 : 0;
}

}  // namespace

int main() { return run_driver(); }
