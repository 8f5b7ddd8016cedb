// The run's shared records: the counters, one directory entry, and the two
// output streams (console and summary) with their write-failure bookkeeping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The run's totals, kept by the run driver. 64-bit unsigned, so no
// realistic traffic figure wraps.
struct tallies {
    std::uint64_t total_uploads;
    std::uint64_t total_downloads;
    std::uint64_t total_connections;
    std::uint64_t reports_done;  // also the ordinal of the last report
};

// One entry as the report search yields it. The name is the program's text
// (UTF-8, or the bytes the system gives) and is also what the report is opened
// by; summary_text is the same name as the summary writes it.
struct report_entry {
    std::uint32_t attributes;
    std::int64_t creation_time;
    std::int64_t access_time;
    std::int64_t write_time;
    std::uint64_t size;
    char name[768];          // a name of 255 UTF-16 units takes at most 765 bytes
    char summary_text[256];  // at most one byte per character
};

// Where print_size writes: 0 is the console, anything else the summary.
using output_target = int;
inline constexpr output_target console_target = 0;
inline constexpr output_target summary_target = 1;

// An output stream that remembers its first write failure instead of
// ignoring it; later writes to a failed (or unopened) stream are dropped.
// Both streams are written through a buffer of the program's own: the
// console to standard output, the summary to the file the platform made.
struct text_stream {
    bool is_console;
    bool open;              // the console always; the summary once created
    std::intptr_t summary;  // the summary's platform handle
    std::string failure;    // the reason of the first failed write; empty while all went well
    std::size_t used;       // bytes waiting in buffer
    char buffer[1 << 16];
};
extern text_stream console;
extern text_stream summary_file;

#if defined(__GNUC__)
#define TT_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define TT_PRINTF_FORMAT(f, a)
#endif

void write_text(text_stream& stream, const char* format, ...) TT_PRINTF_FORMAT(2, 3);
// Flushes the stream; false (and failure set) if anything written so far failed.
bool flush_text(text_stream& stream);

// A name or path as standard output shows it: on a terminal no control
// character reaches it raw.
std::string shown_on_console(std::string_view text);

// The summary's name: "izhod_" + the first report's name + "_etc.txt", the
// report's part cut at a character so that the whole is at most 255 units of
// the file system.
std::string summary_name(std::string_view first_report);
// Whether a name is one that summary_name gives (ASCII letters in any case):
// such a file is left by an earlier run and is no report.
bool is_earlier_summary(std::string_view name);

// Writes "traffic-totals: <message>" to standard error, after flushing the
// console so that the message lands where it happened, and marks the run
// failed. Names in the message go through shown_in_message.
void report_failure(const char* format, ...) TT_PRINTF_FORMAT(1, 2);
std::string shown_in_message(std::string_view text);
// The working directory's failure is said once a run, however often it is met.
void report_directory_failure(const std::string& reason);
bool run_failed();
