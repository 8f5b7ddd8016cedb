// Everything that differs between operating systems. The rest of the program
// sees only these functions and never asks which system it runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "tallies.hpp"

namespace platform {

// Set-up before anything is printed: the handling of interrupts and broken pipes.
void prepare_run();

// Whether standard error is a terminal, where a progress line may be shown.
bool error_output_is_terminal();

// The report search over the current working directory. find_first_report
// returns false when nothing matches; each call fills entry with the next
// report's name, and its size where the search tells it.
bool find_first_report(report_entry& entry);
bool find_next_report(report_entry& entry);
void close_report_search();

// The absolute path of the current working directory, of any length.
bool working_directory(std::string& path, const char*& reason);

// Reports are read raw, in binary mode. open_report takes an entry that the
// search yielded, refuses anything that is not a regular file, and leaves the
// file's size in the entry (0 for anything else). read_report returns the
// bytes read, 0 at the end of the file, or -1 on failure. On failure reason
// names the cause.
using report_handle = std::intptr_t;
inline constexpr report_handle no_report = -1;
report_handle open_report(report_entry& entry, const char*& reason);
long long read_report(report_handle report, unsigned char* buffer, std::size_t capacity, const char*& reason);
void close_report(report_handle report);

// The summary is written to a temporary file in the working directory, in text
// mode, and only a complete one replaces the file of the final name. An
// interrupt before that removes the temporary file.
std::FILE* create_summary(const char*& reason);
// Flushes the summary to disk, closes it and puts it in place under final_name.
bool commit_summary(std::FILE* summary, const char* final_name, const char*& reason);
// Closes and removes an unfinished summary; an earlier file of the final name stays.
void discard_summary(std::FILE* summary);

// The prompt at the end of the run, waiting for a key press.
void pause();

}  // namespace platform
