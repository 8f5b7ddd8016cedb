#include "output_streams.hpp"

#include <cstdio>
#include <cstring>

#include "platform.hpp"
#include "text_encoding.hpp"

text_stream console{true, true, -1, {}, 0, {}};
text_stream summary_file{false, false, -1, {}, 0, {}};

namespace {

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

}  // namespace

void write_text(text_stream& stream, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    with_formatted(format, args, [&stream](std::string_view text) { put(stream, text); });
    va_end(args);
}

bool flush_text(text_stream& stream) { return flush_stream(stream); }

std::string formatted(const char* format, std::va_list args) {
    std::string text;
    with_formatted(format, args, [&text](std::string_view done) { text = done; });
    return text;
}

std::string shown_on_console(std::string_view text) {
    static const bool terminal = platform::is_terminal(platform::standard_stream::output);
    return terminal ? terminal_safe(text) : std::string(text);
}
