#include "progress_line.hpp"

#include <cstdio>

#include "platform.hpp"
#include "report_scanner.hpp"
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
