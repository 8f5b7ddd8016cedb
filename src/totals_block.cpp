#include "totals_block.hpp"

#include <string>

#include "platform.hpp"
#include "size_format.hpp"
#include "tallies.hpp"

namespace {
// The directory is asked afresh for each of the two blocks; if it cannot be
// told, the brackets stay empty and the failure is reported (once).
platform::folder_path directory_for_totals(diagnostics& messages) {
    const auto path = platform::working_directory();
    if (path) return *path;
    messages.report_directory_failure(path.reason());
    return {};
}
}  // namespace

void write_totals(run_output& out, diagnostics& messages, const tallies& run) {
    const scan_counts& totals = run.totals;
    const std::uint64_t up_and_down = totals.downloads + totals.uploads;

    out.console.write("\n------------------------------------------------------");
    out.console.write("\n Total for all reports in [%s]\n",
                      out.console.shown(directory_for_totals(messages).text).c_str());
    out.console.write("\n Total Connections : %12llu\n", static_cast<unsigned long long>(totals.connections));
    out.console.write("\n Total Uploads     :");
    print_size(out, totals.uploads, console_target);
    out.console.write("\n Total Downloads   :");
    print_size(out, totals.downloads, console_target);
    out.console.write("\n Up & Down         :");
    print_size(out, up_and_down, console_target);

    // Windows-1251: Справка за, ОБЩО Свързвания, КАЧЕНА ИНФОРМАЦИЯ,
    // ИЗТЕГЛЕНА ИНФОРМАЦИЯ, КАЧЕНИ + ИЗТЕГЛЕНИ.
    out.summary.write("\n+------------------------------------------------");
    out.summary.write("\n|\xD1\xEF\xF0\xE0\xE2\xEA\xE0 \xE7\xE0 [%s]\n",
                      directory_for_totals(messages).summary_text.c_str());
    out.summary.write("\n| \xCE\xC1\xD9\xCE \xD1\xE2\xFA\xF0\xE7\xE2\xE0\xED\xE8\xFF :%12llu\n",
                      static_cast<unsigned long long>(totals.connections));
    out.summary.write("\n| \xCA\xC0\xD7\xC5\xCD\xC0 \xC8\xCD\xD4\xCE\xD0\xCC\xC0\xD6\xC8\xDF   : ");
    print_size(out, totals.uploads, summary_target);
    out.summary.write(
        "\n| \xC8\xC7\xD2\xC5\xC3\xCB\xC5\xCD\xC0 "
        "\xC8\xCD\xD4\xCE\xD0\xCC\xC0\xD6\xC8\xDF: ");
    print_size(out, totals.downloads, summary_target);
    out.summary.write("\n| \xCA\xC0\xD7\xC5\xCD\xC8 + \xC8\xC7\xD2\xC5\xC3\xCB\xC5\xCD\xC8  : ");
    print_size(out, up_and_down, summary_target);
    out.summary.write("\n+------------------------------------------------\n");
}
