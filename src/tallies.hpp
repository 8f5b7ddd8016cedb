// The run's shared records: the counters, one directory entry, and the two
// output streams (console and summary) with their write-failure bookkeeping.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Counters of the current report and of the whole run. 64-bit unsigned, so
// no realistic traffic figure wraps.
struct tallies {
    std::uint64_t cell_index;  // place of the last cell opener in the nine-cell cycle
    std::uint64_t connections;
    std::uint64_t uploads;
    std::uint64_t downloads;
    std::uint64_t total_uploads;
    std::uint64_t total_downloads;
    std::uint64_t total_connections;
    std::uint64_t reports_done;  // also the ordinal of the last report
};
extern tallies run_tallies;

// One entry as the report search yields it. Only size and name are used.
struct report_entry {
    std::uint32_t attributes;
    std::int64_t creation_time;
    std::int64_t access_time;
    std::int64_t write_time;
    std::uint64_t size;
    char name[260];
};

// Where print_size writes: 0 is the console, anything else the summary.
using output_target = int;
inline constexpr output_target console_target = 0;
inline constexpr output_target summary_target = 1;

// An output stream that remembers its first write failure instead of
// ignoring it; later writes to a failed (or unopened) stream are dropped.
struct text_stream {
    std::FILE* file;
    int error;  // errno of the first failed write, 0 while all went well
};
extern text_stream console;
extern text_stream summary_file;

#if defined(__GNUC__)
#define TT_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define TT_PRINTF_FORMAT(f, a)
#endif

void write_text(text_stream& stream, const char* format, ...) TT_PRINTF_FORMAT(2, 3);
// Flushes the stream; false (and error set) if anything written so far failed.
bool flush_text(text_stream& stream);

// The summary's name: "izhod_" + the first report's name + "_etc.txt", the
// report's part cut so that the whole is at most 255 bytes.
std::string summary_name(const char* first_report);
// Whether a name is one that summary_name gives (in any letter case): such a
// file is left by an earlier run and is no report.
bool is_earlier_summary(const char* name);

// Writes "traffic-totals: <message>" to standard error, after flushing the
// console so that the message lands where it happened, and marks the run failed.
void report_failure(const char* format, ...) TT_PRINTF_FORMAT(1, 2);
bool run_failed();
