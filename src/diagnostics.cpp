#include "diagnostics.hpp"

#include <cstdarg>

#include "platform.hpp"
#include "text_encoding.hpp"

namespace {
bool any_failure = false;
bool directory_failure_reported = false;
}  // namespace

std::string shown_in_message(std::string_view text) {
    static const bool terminal = platform::is_terminal(platform::standard_stream::error);
    return terminal ? terminal_safe(text) : std::string(text);
}

void report_failure(const char* format, ...) {
    any_failure = true;
    flush_text(console);
    std::va_list args;
    va_start(args, format);
    const std::string line = "traffic-totals: " + formatted(format, args) + "\n";
    va_end(args);
    // With standard error gone there is nowhere to say it; the exit status still tells.
    platform::write_standard(platform::standard_stream::error, line);
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
