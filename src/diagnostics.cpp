#include "diagnostics.hpp"

#include <cstdarg>

#include "platform.hpp"
#include "text_encoding.hpp"

diagnostics::diagnostics(text_stream& console)
    : console_(console), terminal_(platform::is_terminal(platform::standard_stream::error)) {}

std::string diagnostics::shown(std::string_view text) const {
    return terminal_ ? terminal_safe(text) : std::string(text);
}

void diagnostics::report(const char* format, ...) {
    failed_ = true;
    console_.flush();
    std::va_list args;
    va_start(args, format);
    const std::string line = "traffic-totals: " + formatted(format, args) + "\n";
    va_end(args);
    // With standard error gone there is nowhere to say it; the exit status still tells.
    platform::write_standard(platform::standard_stream::error, line);
}

void diagnostics::report_directory_failure(const std::string& reason) {
    if (directory_failure_reported_) {
        failed_ = true;
        return;
    }
    directory_failure_reported_ = true;
    report("cannot read the working directory: %s", reason.c_str());
}
