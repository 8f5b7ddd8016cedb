#include "report_scanner.hpp"

#include <chrono>
#include <cstdio>
#include <string>

#include "platform.hpp"
#include "scan_core.hpp"
#include "text_encoding.hpp"

namespace {

// Reports of any size pass through this one buffer, a piece at a time.
alignas(64) unsigned char content_buffer[1 << 16];

// Columns a text takes on a terminal, counting each non-ASCII character as
// two: wide enough for the widest, so the line never wraps.
std::size_t columns(std::string_view text) {
    std::size_t count = 0;
    for_each_code_point(text, [&](char32_t c) { count += c < 0x80 ? 1 : 2; });
    return count;
}

// A report that takes more than a second shows its name and how far the scan
// has got on standard error, when that is a terminal; the line is wiped when
// the report is done. Standard output never sees it. The line is kept one
// column short of the terminal's width, read afresh at each update, so that
// it is always redrawn in place.
class progress_line {
public:
    explicit progress_line(const report_entry& entry) : entry_(entry), start_(std::chrono::steady_clock::now()) {}
    ~progress_line() {
        if (shown_ != 0) redraw("");
    }
    void update(std::uint64_t done) {
        if (++pieces_ % 64 != 0) return;  // look at the clock every 4 MiB or so
        if (std::chrono::steady_clock::now() - start_ < std::chrono::seconds(1)) return;
        if (!checked_terminal_) {
            checked_terminal_ = true;
            terminal_ = platform::is_terminal(platform::standard_stream::error);
            if (terminal_) flush_text(console);  // the size line stands above the progress line
        }
        if (!terminal_) return;
        const auto percent = static_cast<unsigned>(entry_.size == 0 ? 100 : done * 100 / entry_.size);
        char figure[8];
        std::snprintf(figure, sizeof figure, " %3u%%", percent);
        const std::size_t width = platform::terminal_columns(platform::standard_stream::error) - 1;
        const std::size_t room = width > 5 ? width - 5 : 0;
        const std::string name = shown_in_message(entry_.name);
        std::string line = name.substr(0, cut_at_character(name, room, columns));
        line += figure;
        redraw(line);
    }

private:
    // Writes the line over the one shown before, blanking what it leaves.
    void redraw(const std::string& line) {
        const std::size_t now = columns(line);
        std::string text(1, '\r');
        text += line;
        if (now < shown_) {
            text.append(shown_ - now, ' ');
            text += '\r';
            text += line;
        }
        platform::write_standard(platform::standard_stream::error, text);
        shown_ = now;
    }

    const report_entry& entry_;
    std::chrono::steady_clock::time_point start_;
    unsigned pieces_ = 0;
    bool checked_terminal_ = false;
    bool terminal_ = false;
    std::size_t shown_ = 0;
};

enum class read_outcome { whole, changed, failed };

// Opens the report, shows its size line, and scans it. Reads at most the size
// the open found, so a file that grows while it is read cannot keep the run
// going. A report whose size or times differ after the read, or that ends
// before that size, changed while it was read: its figures are those of the
// bytes read. On failure reason says why.
read_outcome scan_file(report_entry& entry, scan_state& state, std::string& reason) {
    const platform::report_handle report = platform::open_report(entry, reason);
    write_text(console, "\n%llu | %s \n", static_cast<unsigned long long>(entry.size),
               shown_on_console(entry.name).c_str());
    if (report == platform::no_report) return read_outcome::failed;
    platform::report_version before{}, after{};
    const bool versioned = platform::version_of_report(report, before);
    std::uint64_t remaining = entry.size;
    read_outcome outcome = read_outcome::whole;
    progress_line progress(entry);
    while (remaining > 0) {
        const std::size_t wanted =
            remaining < sizeof content_buffer ? static_cast<std::size_t>(remaining) : sizeof content_buffer;
        const long long got = platform::read_report(report, content_buffer, wanted, reason);
        if (got < 0) {
            outcome = read_outcome::failed;
            break;
        }
        if (got == 0) {
            outcome = read_outcome::changed;
            break;
        }
        scan_piece(state, content_buffer, static_cast<std::size_t>(got));
        remaining -= static_cast<std::uint64_t>(got);
        progress.update(entry.size - remaining);
    }
    if (outcome == read_outcome::whole && versioned &&
        (!platform::version_of_report(report, after) || !(after == before)))
        outcome = read_outcome::changed;
    platform::close_report(report);
    return outcome;
}

}  // namespace

void scan_report(report_entry entry) {
    run_tallies.uploads = 0;
    run_tallies.downloads = 0;
    run_tallies.connections = 0;
    run_tallies.cell_index = 0;

    scan_state state;
    scan_start(state);
    std::string reason;
    const read_outcome outcome = scan_file(entry, state, reason);
    if (outcome != read_outcome::failed) {
        if (outcome == read_outcome::changed)
            report_failure("'%s' changed while it was read", shown_in_message(entry.name).c_str());
        const scan_counts counts = scan_finish(state);
        run_tallies.connections = counts.connections;
        run_tallies.uploads = counts.uploads;
        run_tallies.downloads = counts.downloads;
        run_tallies.cell_index = state.cell_place;
    } else {
        // A report that cannot be read counts as empty, and says so.
        report_failure("cannot read '%s': %s", shown_in_message(entry.name).c_str(), reason.c_str());
    }

    const auto connections = static_cast<unsigned long long>(run_tallies.connections);
    const auto uploads = static_cast<unsigned long long>(run_tallies.uploads);
    const auto downloads = static_cast<unsigned long long>(run_tallies.downloads);
    write_text(console,
               "\n REPORT FOR [%s]"
               "\n TOTAL CONNECTIONS %12llu "
               "\n TOTAL UPLOADS     %12llu BYTES"
               "\n TOTAL DOWNLOADS   %12llu BYTES",
               shown_on_console(entry.name).c_str(), connections, uploads, downloads);

    run_tallies.total_uploads += run_tallies.uploads;
    run_tallies.total_downloads += run_tallies.downloads;
    run_tallies.total_connections += run_tallies.connections;
    run_tallies.reports_done += 1;

    // Windows-1251: ОБЩО ВРЪЗКИ, КАЧЕНИ, СВАЛЕНИ.
    write_text(summary_file,
               "\n%llu. Report for [%s]:"
               "\n \xCE\xC1\xD9\xCE \xC2\xD0\xDA\xC7\xCA\xC8 %12llu"
               "\n      \xCA\xC0\xD7\xC5\xCD\xC8 %12llu BYTES"
               "\n     \xD1\xC2\xC0\xCB\xC5\xCD\xC8 %12llu BYTES\n",
               static_cast<unsigned long long>(run_tallies.reports_done), entry.summary_text, connections, uploads,
               downloads);
}
