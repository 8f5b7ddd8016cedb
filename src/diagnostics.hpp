// Messages on standard error, and whether the run has failed.
#pragma once

#include <string>
#include <string_view>

#include "output_streams.hpp"

class diagnostics {
public:
    // The console is flushed before each message, so that it lands where it happened.
    explicit diagnostics(text_stream& console);

    // Writes "traffic-totals: <message>" to standard error and marks the run
    // failed. Names in the message go through shown.
    void report(const char* format, ...) TT_PRINTF_FORMAT(2, 3);
    // The working directory's failure is said once a run, however often it is met.
    void report_directory_failure(const std::string& reason);
    bool run_failed() const { return failed_; }
    // Whether standard error is a terminal, where a progress line may show.
    bool on_terminal() const { return terminal_; }
    // A name as standard error shows it: on a terminal no control character reaches it raw.
    std::string shown(std::string_view text) const;

private:
    text_stream& console_;
    bool terminal_;
    bool failed_ = false;
    bool directory_failure_reported_ = false;
};
