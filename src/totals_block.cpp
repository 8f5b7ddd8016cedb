#include "totals_block.hpp"

#include <string>

#include "diagnostics.hpp"
#include "output_streams.hpp"
#include "platform.hpp"
#include "size_format.hpp"
#include "tallies.hpp"

namespace {
// The directory is asked afresh for each of the two blocks; if it cannot be
// told, the brackets stay empty and the failure is reported (once).
platform::folder_path directory_for_totals() {
    platform::folder_path path;
    std::string reason;
    if (!platform::working_directory(path, reason)) report_directory_failure(reason);
    return path;
}
}  // namespace

void write_totals(const tallies& totals) {
    const std::uint64_t up_and_down = totals.total_downloads + totals.total_uploads;

    write_text(console, "\n------------------------------------------------------");
    write_text(console, "\n Total for all reports in [%s]\n", shown_on_console(directory_for_totals().text).c_str());
    write_text(console, "\n Total Connections : %12llu\n", static_cast<unsigned long long>(totals.total_connections));
    write_text(console, "\n Total Uploads     :");
    print_size(totals.total_uploads, console_target);
    write_text(console, "\n Total Downloads   :");
    print_size(totals.total_downloads, console_target);
    write_text(console, "\n Up & Down         :");
    print_size(up_and_down, console_target);

    // Windows-1251: Справка за, ОБЩО Свързвания, КАЧЕНА ИНФОРМАЦИЯ,
    // ИЗТЕГЛЕНА ИНФОРМАЦИЯ, КАЧЕНИ + ИЗТЕГЛЕНИ.
    write_text(summary_file, "\n+------------------------------------------------");
    write_text(summary_file, "\n|\xD1\xEF\xF0\xE0\xE2\xEA\xE0 \xE7\xE0 [%s]\n",
               directory_for_totals().summary_text.c_str());
    write_text(summary_file, "\n| \xCE\xC1\xD9\xCE \xD1\xE2\xFA\xF0\xE7\xE2\xE0\xED\xE8\xFF :%12llu\n",
               static_cast<unsigned long long>(totals.total_connections));
    write_text(summary_file, "\n| \xCA\xC0\xD7\xC5\xCD\xC0 \xC8\xCD\xD4\xCE\xD0\xCC\xC0\xD6\xC8\xDF   : ");
    print_size(totals.total_uploads, summary_target);
    write_text(summary_file,
               "\n| \xC8\xC7\xD2\xC5\xC3\xCB\xC5\xCD\xC0 "
               "\xC8\xCD\xD4\xCE\xD0\xCC\xC0\xD6\xC8\xDF: ");
    print_size(totals.total_downloads, summary_target);
    write_text(summary_file, "\n| \xCA\xC0\xD7\xC5\xCD\xC8 + \xC8\xC7\xD2\xC5\xC3\xCB\xC5\xCD\xC8  : ");
    print_size(up_and_down, summary_target);
    write_text(summary_file, "\n+------------------------------------------------\n");
}
