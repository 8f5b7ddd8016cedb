#include "report_scanner.hpp"

#include <cstdio>
#include <string>

#include "diagnostics.hpp"
#include "output_streams.hpp"
#include "platform.hpp"
#include "text_encoding.hpp"

namespace {

// Columns a text takes on a terminal, counting each non-ASCII character as
// two: wide enough for the widest, so the line never wraps.
std::size_t columns(std::string_view text) {
    std::size_t count = 0;
    for_each_code_point(text, [&](char32_t c) { count += c < 0x80 ? 1 : 2; });
    return count;
}

}  // namespace

void write_size_line(const report_entry& entry, std::uint64_t size) {
    write_text(console, "\n%llu | %s \n", static_cast<unsigned long long>(size), shown_on_console(entry.name).c_str());
}

progress_line::~progress_line() { wipe(); }

void progress_line::wipe() {
    if (shown_ != 0) redraw("");
}

// The line is kept one column short of the terminal's width, read afresh at
// each update, so that it is always redrawn in place.
void progress_line::update(const report_entry& entry, const reading_progress& progress) {
    if (std::chrono::steady_clock::now() - start_ < std::chrono::seconds(1)) return;
    if (!progress.opened.load(std::memory_order_acquire)) return;
    if (!checked_terminal_) {
        checked_terminal_ = true;
        terminal_ = platform::is_terminal(platform::standard_stream::error);
        if (terminal_) {
            // The size line stands above the progress line.
            write_size_line(entry, progress.size.load(std::memory_order_relaxed));
            size_line_shown_ = true;
            flush_text(console);
        }
    }
    if (!terminal_) return;
    const std::uint64_t size = progress.size.load(std::memory_order_relaxed);
    const std::uint64_t done = progress.done.load(std::memory_order_relaxed);
    const auto percent = static_cast<unsigned>(size == 0 ? 100 : (done < size ? done : size) * 100 / size);
    char figure[8];
    std::snprintf(figure, sizeof figure, " %3u%%", percent);
    const std::size_t width = platform::terminal_columns(platform::standard_stream::error) - 1;
    const std::size_t room = width > 5 ? width - 5 : 0;
    const std::string name = shown_in_message(entry.name);
    std::string line = name.substr(0, cut_at_character(name, room, columns));
    line += figure;
    redraw(line);
}

// Writes the line over the one shown before, blanking what it leaves.
void progress_line::redraw(const std::string& line) {
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

scan_counts scan_report(const report_entry& entry, const report_reading& reading, std::uint64_t ordinal,
                        bool size_line_shown) {
    if (!size_line_shown) write_size_line(entry, entry.size);
    scan_counts counts{};
    if (reading.outcome == read_outcome::failed) {
        // A report that cannot be read counts as empty, and says so.
        report_failure("cannot read '%s': %s", shown_in_message(entry.name).c_str(), reading.reason.c_str());
    } else {
        // One that changed while it was read has the figures of the bytes read.
        if (reading.outcome == read_outcome::changed)
            report_failure("'%s' changed while it was read", shown_in_message(entry.name).c_str());
        counts = reading.counts;
    }

    const auto connections = static_cast<unsigned long long>(counts.connections);
    const auto uploads = static_cast<unsigned long long>(counts.uploads);
    const auto downloads = static_cast<unsigned long long>(counts.downloads);
    write_text(console,
               "\n REPORT FOR [%s]"
               "\n TOTAL CONNECTIONS %12llu "
               "\n TOTAL UPLOADS     %12llu BYTES"
               "\n TOTAL DOWNLOADS   %12llu BYTES",
               shown_on_console(entry.name).c_str(), connections, uploads, downloads);

    // Windows-1251: ОБЩО ВРЪЗКИ, КАЧЕНИ, СВАЛЕНИ.
    write_text(summary_file,
               "\n%llu. Report for [%s]:"
               "\n \xCE\xC1\xD9\xCE \xC2\xD0\xDA\xC7\xCA\xC8 %12llu"
               "\n      \xCA\xC0\xD7\xC5\xCD\xC8 %12llu BYTES"
               "\n     \xD1\xC2\xC0\xCB\xC5\xCD\xC8 %12llu BYTES\n",
               static_cast<unsigned long long>(ordinal), entry.summary_text, connections, uploads, downloads);
    return counts;
}
