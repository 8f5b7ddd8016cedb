// Messages on standard error, and whether the run has failed.
#pragma once

#include <string>
#include <string_view>

#include "output_streams.hpp"

// Writes "traffic-totals: <message>" to standard error, after flushing the
// console so that the message lands where it happened, and marks the run
// failed. Names in the message go through shown_in_message.
void report_failure(const char* format, ...) TT_PRINTF_FORMAT(1, 2);
std::string shown_in_message(std::string_view text);
// The working directory's failure is said once a run, however often it is met.
void report_directory_failure(const std::string& reason);
bool run_failed();
