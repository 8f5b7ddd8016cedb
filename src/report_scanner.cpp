#include "report_scanner.hpp"

#include <cstdio>
#include <string>

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

void write_size_line(text_stream& console, const report_entry& entry, std::uint64_t size) {
    console.write("\n%llu | %s \n", static_cast<unsigned long long>(size), console.shown(entry.name).c_str());
}

progress_line::~progress_line() { wipe(); }

void progress_line::wipe() {
    if (shown_ != 0) redraw("", platform::terminal_columns(platform::standard_stream::error) - 1);
}

// The line is kept one column short of the terminal's width, read afresh at
// each update, so that it is always redrawn in place.
void progress_line::update(const report_entry& entry, const reading_progress& progress) {
    if (std::chrono::steady_clock::now() - start_ < std::chrono::seconds(1)) return;
    if (!progress.opened.load(std::memory_order_acquire)) return;
    if (!messages_.on_terminal()) return;
    if (!size_line_shown_) {
        // The size line stands above the progress line.
        write_size_line(console_, entry, progress.size.load(std::memory_order_relaxed));
        size_line_shown_ = true;
        console_.flush();
    }
    const std::uint64_t size = progress.size.load(std::memory_order_relaxed);
    const std::uint64_t done = progress.done.load(std::memory_order_relaxed);
    const auto percent = static_cast<unsigned>(size == 0 ? 100 : (done < size ? done : size) * 100 / size);
    char figure[8];
    std::snprintf(figure, sizeof figure, " %3u%%", percent);
    const std::size_t width = platform::terminal_columns(platform::standard_stream::error) - 1;
    const std::size_t room = width > 5 ? width - 5 : 0;
    const std::string name = messages_.shown(entry.name);
    std::string line = name.substr(0, cut_at_character(name, room, columns));
    line += figure;
    redraw(line, width);
}

// Writes the line over the one shown before, blanking what it leaves, but
// never past the width: a terminal that has narrowed since the last redraw
// has cut or wrapped that line already, and blanks past its edge would wrap.
void progress_line::redraw(const std::string& line, std::size_t width) {
    const std::size_t now = columns(line);
    const std::size_t blank_to = shown_ < width ? shown_ : width;
    std::string text(1, '\r');
    text += line;
    if (now < blank_to) {
        text.append(blank_to - now, ' ');
        text += '\r';
        text += line;
    }
    platform::write_standard(platform::standard_stream::error, text);
    shown_ = now;
}

scan_counts scan_report(run_output& out, diagnostics& messages, const report_entry& entry,
                        const report_reading& reading, std::uint64_t ordinal, bool size_line_shown) {
    if (!size_line_shown) write_size_line(out.console, entry, reading.size);
    scan_counts counts{};
    if (reading.outcome == read_outcome::failed) {
        // A report that cannot be read counts as empty, and says so.
        messages.report("cannot read '%s': %s", messages.shown(entry.name).c_str(), reading.reason.c_str());
    } else {
        // One that changed while it was read has the figures of the bytes read.
        if (reading.outcome == read_outcome::changed)
            messages.report("'%s' changed while it was read", messages.shown(entry.name).c_str());
        counts = reading.counts;
    }

    const auto connections = static_cast<unsigned long long>(counts.connections);
    const auto uploads = static_cast<unsigned long long>(counts.uploads);
    const auto downloads = static_cast<unsigned long long>(counts.downloads);
    out.console.write(
        "\n REPORT FOR [%s]"
        "\n TOTAL CONNECTIONS %12llu "
        "\n TOTAL UPLOADS     %12llu BYTES"
        "\n TOTAL DOWNLOADS   %12llu BYTES",
        out.console.shown(entry.name).c_str(), connections, uploads, downloads);

    // Windows-1251: ОБЩО ВРЪЗКИ, КАЧЕНИ, СВАЛЕНИ.
    out.summary.write(
        "\n%llu. Report for [%s]:"
        "\n \xCE\xC1\xD9\xCE \xC2\xD0\xDA\xC7\xCA\xC8 %12llu"
        "\n      \xCA\xC0\xD7\xC5\xCD\xC8 %12llu BYTES"
        "\n     \xD1\xC2\xC0\xCB\xC5\xCD\xC8 %12llu BYTES\n",
        static_cast<unsigned long long>(ordinal), entry.summary_text, connections, uploads, downloads);
    return counts;
}
