#include "tallies.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstring>

tallies run_tallies{};
text_stream console{stdout, 0};
text_stream summary_file{nullptr, 0};

namespace {
bool any_failure = false;

constexpr char summary_prefix[] = "izhod_";
constexpr char summary_suffix[] = "_etc.txt";
constexpr std::size_t longest_file_name = 255;

bool same_letters(const char* a, const char* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

int errno_or_io_error() { return errno != 0 ? errno : EIO; }
}  // namespace

std::string summary_name(const char* first_report) {
    const std::size_t room = longest_file_name - (sizeof summary_prefix - 1) - (sizeof summary_suffix - 1);
    std::string name = summary_prefix;
    name.append(first_report, std::min(std::strlen(first_report), room));
    name += summary_suffix;
    return name;
}

bool is_earlier_summary(const char* name) {
    const std::size_t length = std::strlen(name), head = sizeof summary_prefix - 1, tail = sizeof summary_suffix - 1;
    return length >= head + tail && same_letters(name, summary_prefix, head) &&
           same_letters(name + length - tail, summary_suffix, tail);
}

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
