#include "tallies.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "platform.hpp"
#include "text_encoding.hpp"

text_stream console{nullptr, true, {}};
text_stream summary_file{nullptr, false, {}};

namespace {
bool any_failure = false;
bool directory_failure_reported = false;

constexpr std::string_view summary_prefix = "izhod_";
constexpr std::string_view summary_suffix = "_etc.txt";
constexpr std::size_t longest_file_name = 255;

// Standard output is written when the buffer fills and when it matters
// (before a message, a progress line and the pause), not at every line.
char console_buffer[1 << 16];
std::size_t console_used = 0;

bool same_ascii_letters(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

bool flush_console() {
    if (console_used != 0 && console.failure.empty())
        console.failure = platform::write_standard(platform::standard_stream::output, {console_buffer, console_used});
    console_used = 0;
    return console.failure.empty();
}

void write_console(std::string_view text) {
    if (!console.failure.empty()) return;
    if (console_used + text.size() > sizeof console_buffer && !flush_console()) return;
    if (text.size() > sizeof console_buffer) {
        console.failure = platform::write_standard(platform::standard_stream::output, text);
        return;
    }
    std::memcpy(console_buffer + console_used, text.data(), text.size());
    console_used += text.size();
}

// Formats into a buffer on the stack, or a string when the text is longer.
template <typename Use>
void with_formatted(const char* format, std::va_list args, Use use) {
    char text[4096];
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    if (length < 0) {
        va_end(again);
        return;
    }
    if (static_cast<std::size_t>(length) < sizeof text) {
        use(std::string_view(text, static_cast<std::size_t>(length)));
    } else {
        std::string long_text(static_cast<std::size_t>(length) + 1, '\0');
        std::vsnprintf(long_text.data(), long_text.size(), format, again);
        use(std::string_view(long_text.data(), static_cast<std::size_t>(length)));
    }
    va_end(again);
}

bool terminal(platform::standard_stream stream) {
    static const bool output = platform::is_terminal(platform::standard_stream::output);
    static const bool error = platform::is_terminal(platform::standard_stream::error);
    return stream == platform::standard_stream::output ? output : error;
}
}  // namespace

void write_text(text_stream& stream, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    if (stream.is_console) {
        with_formatted(format, args, write_console);
    } else if (stream.file != nullptr && stream.failure.empty()) {
        errno = 0;
        if (std::vfprintf(stream.file, format, args) < 0) stream.failure = std::strerror(errno != 0 ? errno : EIO);
    }
    va_end(args);
}

bool flush_text(text_stream& stream) {
    if (stream.is_console) return flush_console();
    if (stream.file != nullptr && stream.failure.empty()) {
        errno = 0;
        if (std::fflush(stream.file) != 0 || std::ferror(stream.file))
            stream.failure = std::strerror(errno != 0 ? errno : EIO);
    }
    return stream.failure.empty();
}

std::string shown_on_console(std::string_view text) {
    return terminal(platform::standard_stream::output) ? terminal_safe(text) : std::string(text);
}

std::string shown_in_message(std::string_view text) {
    return terminal(platform::standard_stream::error) ? terminal_safe(text) : std::string(text);
}

std::string summary_name(std::string_view first_report) {
    const std::size_t room = longest_file_name - summary_prefix.size() - summary_suffix.size();
    const std::size_t kept = cut_at_character(first_report, room, platform::name_units);
    std::string name(summary_prefix);
    name.append(first_report.substr(0, kept));
    name += summary_suffix;
    return name;
}

bool is_earlier_summary(std::string_view name) {
    return name.size() >= summary_prefix.size() + summary_suffix.size() &&
           same_ascii_letters(name.substr(0, summary_prefix.size()), summary_prefix) &&
           same_ascii_letters(name.substr(name.size() - summary_suffix.size()), summary_suffix);
}

void report_failure(const char* format, ...) {
    any_failure = true;
    flush_text(console);
    std::va_list args;
    va_start(args, format);
    with_formatted(format, args, [](std::string_view message) {
        std::string line = "traffic-totals: ";
        line += message;
        line += '\n';
        // With standard error gone there is nowhere to say it; the exit status still tells.
        platform::write_standard(platform::standard_stream::error, line);
    });
    va_end(args);
}

void report_directory_failure(const std::string& reason) {
    if (directory_failure_reported) {
        any_failure = true;
        return;
    }
    directory_failure_reported = true;
    report_failure("cannot read the working directory: %s", reason.c_str());
}

bool run_failed() { return any_failure; }
