#include "tallies.hpp"

#include <cerrno>
#include <cstdarg>

tallies run_tallies{};
text_stream console{stdout, 0};
text_stream summary_file{nullptr, 0};

namespace {
bool any_failure = false;

int errno_or_io_error() { return errno != 0 ? errno : EIO; }
}  // namespace

void write_text(text_stream& stream, const char* format, ...) {
    if (stream.file == nullptr || stream.error != 0) return;
    std::va_list args;
    va_start(args, format);
    errno = 0;
    if (std::vfprintf(stream.file, format, args) < 0) stream.error = errno_or_io_error();
    va_end(args);
}

bool flush_text(text_stream& stream) {
    if (stream.file == nullptr) return stream.error == 0;
    if (stream.error == 0) {
        errno = 0;
        if (std::fflush(stream.file) != 0 || std::ferror(stream.file)) stream.error = errno_or_io_error();
    }
    return stream.error == 0;
}

void report_failure(const char* format, ...) {
    any_failure = true;
    flush_text(console);
    std::fputs("traffic-totals: ", stderr);
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

bool run_failed() { return any_failure; }
