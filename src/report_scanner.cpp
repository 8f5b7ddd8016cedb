#include "report_scanner.hpp"

#include "platform.hpp"
#include "scan_core.hpp"

namespace {

// Reports of any size pass through this one buffer, a piece at a time.
alignas(64) unsigned char content_buffer[1 << 16];

// Reads at most the size the search stated, so a file that grows while it is
// read cannot keep the run going. False (with reason) if it could not be read.
bool scan_file(const report_entry& entry, scan_state& state, const char*& reason) {
    const platform::report_handle report = platform::open_report(entry.name, reason);
    if (report == platform::no_report) return false;
    std::uint64_t remaining = entry.size;
    bool complete = true;
    while (remaining > 0) {
        const std::size_t wanted =
            remaining < sizeof content_buffer ? static_cast<std::size_t>(remaining) : sizeof content_buffer;
        const long long got = platform::read_report(report, content_buffer, wanted, reason);
        if (got < 0) {
            complete = false;
            break;
        }
        if (got == 0) break;
        scan_piece(state, content_buffer, static_cast<std::size_t>(got));
        remaining -= static_cast<std::uint64_t>(got);
    }
    platform::close_report(report);
    return complete;
}

}  // namespace

void scan_report(report_entry entry) {
    run_tallies.uploads = 0;
    run_tallies.downloads = 0;
    run_tallies.connections = 0;
    run_tallies.cell_index = 0;

    write_text(console, "\n%llu | %s \n", static_cast<unsigned long long>(entry.size), entry.name);

    scan_state state;
    scan_start(state);
    const char* reason = nullptr;
    if (scan_file(entry, state, reason)) {
        const scan_counts counts = scan_finish(state);
        run_tallies.connections = counts.connections;
        run_tallies.uploads = counts.uploads;
        run_tallies.downloads = counts.downloads;
        run_tallies.cell_index = state.cell_place;
    } else {
        // A report that cannot be read counts as empty, and says so.
        report_failure("cannot read '%s': %s", entry.name, reason);
    }

    const auto connections = static_cast<unsigned long long>(run_tallies.connections);
    const auto uploads = static_cast<unsigned long long>(run_tallies.uploads);
    const auto downloads = static_cast<unsigned long long>(run_tallies.downloads);
    write_text(console, "\n REPORT FOR [%s]", entry.name);
    write_text(console, "\n TOTAL CONNECTIONS %12llu ", connections);
    write_text(console, "\n TOTAL UPLOADS     %12llu BYTES", uploads);
    write_text(console, "\n TOTAL DOWNLOADS   %12llu BYTES", downloads);

    run_tallies.total_uploads += run_tallies.uploads;
    run_tallies.total_downloads += run_tallies.downloads;
    run_tallies.total_connections += run_tallies.connections;
    run_tallies.reports_done += 1;

    // Windows-1251: ОБЩО ВРЪЗКИ, КАЧЕНИ, СВАЛЕНИ.
    write_text(summary_file, "\n%llu. Report for [%s]:",
               static_cast<unsigned long long>(run_tallies.reports_done), entry.name);
    write_text(summary_file, "\n \xCE\xC1\xD9\xCE \xC2\xD0\xDA\xC7\xCA\xC8 %12llu", connections);
    write_text(summary_file, "\n      \xCA\xC0\xD7\xC5\xCD\xC8 %12llu BYTES", uploads);
    write_text(summary_file, "\n     \xD1\xC2\xC0\xCB\xC5\xCD\xC8 %12llu BYTES\n", downloads);
}
