// Everything that differs between operating systems. The rest of the program
// sees only these functions and never asks which system it runs on. Text that
// crosses here is the program's own: UTF-8, or on POSIX systems a name's bytes
// as the system gives them. Failures come back as values, a reason in words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tallies.hpp"

namespace platform {

// Set-up before anything is opened or printed: the handling of the signals
// that end a run, and of broken pipes.
void prepare_run();

// Standard output and standard error: whether one is a terminal, and the
// writing of text to it, converted to what it expects. write_standard returns
// an empty string, or the reason the write failed.
enum class standard_stream { output, error };
bool is_terminal(standard_stream stream);
// The width of the terminal on that stream, 80 when it cannot be told.
std::size_t terminal_columns(standard_stream stream);
std::string write_standard(standard_stream stream, std::string_view text);

// The report search over the current working directory, pattern "*.htm*".
// Each call fills entry with the next match and returns true, or returns false
// at the end; problem is left non-empty when the folder could not be read.
bool find_first_report(report_entry& entry, std::string& problem);
bool find_next_report(report_entry& entry, std::string& problem);
void close_report_search();

// The absolute path of the current working directory, of any length, as text
// and as the summary writes it.
struct folder_path {
    std::string text;
    std::string summary_text;
};
bool working_directory(folder_path& path, std::string& reason);

// How long a name is in the file system's own units (bytes, or UTF-16 units).
std::size_t name_units(std::string_view name);

// Reports are read raw, in binary mode. open_report takes an entry that the
// search yielded, refuses anything that is not a regular file, and leaves the
// file's size in the entry: the size the open found, or for a regular file
// that could not be opened the size the search or a look found, and 0 for
// anything else. It also leaves the file's version, which tells
// one state of the file from another: a report whose version differs after
// the read changed while it was read. read_report_at returns the bytes read at
// an offset, 0 at the end of the file, or -1 on failure; several threads may
// call it at once on one report.
using report_handle = std::intptr_t;
inline constexpr report_handle no_report = -1;
struct report_version {
    std::uint64_t size;
    std::int64_t modified;  // nanoseconds where the system keeps them
    std::int64_t changed;
    bool operator==(const report_version&) const = default;
};
report_handle open_report(report_entry& entry, report_version& version, std::string& reason);
long long read_report_at(report_handle report, unsigned char* buffer, std::size_t capacity, std::uint64_t offset,
                         std::string& reason);
bool version_of_report(report_handle report, report_version& version);
void close_report(report_handle report);

// The summary is written to a temporary file in the working directory, and
// only a complete one replaces the file of the final name. A signal that ends
// the run before that removes the temporary file. write_summary writes each
// line feed as the system's text line end and returns an empty string, or the
// reason the write failed.
using summary_handle = std::intptr_t;
inline constexpr summary_handle no_summary = -1;
summary_handle create_summary(std::string& reason);
std::string write_summary(summary_handle summary, std::string_view text);
// Flushes the summary to disk, closes it and puts it in place under final_name.
bool commit_summary(summary_handle summary, std::string_view final_name, std::string& reason);
// Closes and removes an unfinished summary; an earlier file of the final name stays.
void discard_summary(summary_handle summary);

// How many threads may read reports at once: the processors this process may use.
unsigned processors();

// The prompt at the end of the run, waiting for a key press on a terminal (a
// console); with any other standard input it is shown and nothing is read.
// Standard output must be flushed first. Returns an empty string, or why the
// prompt could not be written.
std::string pause();

}  // namespace platform
