#include "output_streams.hpp"

#include <cstdio>
#include <cstring>

#include "text_encoding.hpp"

namespace {

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

text_stream::text_stream(bool is_console, bool open)
    : is_console_(is_console),
      terminal_(is_console && platform::is_terminal(platform::standard_stream::output)),
      open_(open) {}

text_stream text_stream::console() { return text_stream(true, true); }
text_stream text_stream::summary() { return text_stream(false, false); }

void text_stream::open_summary(platform::summary_handle summary) {
    summary_ = summary;
    open_ = true;
}

void text_stream::close() {
    open_ = false;
    used_ = 0;
}

platform::result<> text_stream::write_out(std::string_view text) const {
    return is_console_ ? platform::write_standard(platform::standard_stream::output, text)
                       : platform::write_summary(summary_, text);
}

void text_stream::fail(const std::string& reason) {
    if (failure_.empty()) failure_ = reason;
}

bool text_stream::flush() {
    if (used_ != 0 && open_ && failure_.empty()) {
        if (const auto written = write_out({buffer_, used_}); !written) failure_ = written.reason();
    }
    used_ = 0;
    return failure_.empty();
}

void text_stream::put(std::string_view text) {
    if (!open_ || !failure_.empty()) return;
    if (used_ + text.size() > sizeof buffer_ && !flush()) return;
    if (text.size() > sizeof buffer_) {
        if (const auto written = write_out(text); !written) failure_ = written.reason();
        return;
    }
    std::memcpy(buffer_ + used_, text.data(), text.size());
    used_ += text.size();
}

void text_stream::write(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    with_formatted(format, args, [this](std::string_view text) { put(text); });
    va_end(args);
}

std::string text_stream::shown(std::string_view text) const {
    return terminal_ ? terminal_safe(text) : std::string(text);
}

std::string formatted(const char* format, std::va_list args) {
    std::string text;
    with_formatted(format, args, [&text](std::string_view done) { text = done; });
    return text;
}
