#include "tallies.hpp"

#include <cstdarg>
#include <cstring>

#include "platform.hpp"
#include "text_encoding.hpp"

text_stream console{true, true, -1, {}, 0, {}};
text_stream summary_file{false, false, -1, {}, 0, {}};

namespace {
bool any_failure = false;
bool directory_failure_reported = false;

constexpr std::string_view summary_prefix = "izhod_";
constexpr std::string_view summary_suffix = "_etc.txt";
constexpr std::size_t longest_file_name = 255;

bool same_ascii_letters(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

std::string write_out(const text_stream& stream, std::string_view text) {
    return stream.is_console ? platform::write_standard(platform::standard_stream::output, text)
                             : platform::write_summary(stream.summary, text);
}

// Written when the buffer fills and when it matters (before a message, a
// progress line, the pause and the summary's commit), not at every line.
bool flush_stream(text_stream& stream) {
    if (stream.used != 0 && stream.open && stream.failure.empty())
        stream.failure = write_out(stream, {stream.buffer, stream.used});
    stream.used = 0;
    return stream.failure.empty();
}

void put(text_stream& stream, std::string_view text) {
    if (!stream.open || !stream.failure.empty()) return;
    if (stream.used + text.size() > sizeof stream.buffer && !flush_stream(stream)) return;
    if (text.size() > sizeof stream.buffer) {
        stream.failure = write_out(stream, text);
        return;
    }
    std::memcpy(stream.buffer + stream.used, text.data(), text.size());
    stream.used += text.size();
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
    with_formatted(format, args, [&stream](std::string_view text) { put(stream, text); });
    va_end(args);
}

bool flush_text(text_stream& stream) { return flush_stream(stream); }

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
