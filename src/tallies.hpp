// The run's shared records: the counts of a report and of the run, one
// directory entry, and where a size is written. Everything else builds on
// these; they build on nothing.
#pragma once

#include <cstdint>

// Connections and bytes, of one report or of all of them: 64-bit unsigned,
// so no realistic traffic figure wraps.
struct scan_counts {
    std::uint64_t connections;
    std::uint64_t uploads;
    std::uint64_t downloads;
    scan_counts& operator+=(const scan_counts& more) {
        connections += more.connections;
        uploads += more.uploads;
        downloads += more.downloads;
        return *this;
    }
};

// The run's totals, kept by the run driver.
struct tallies {
    scan_counts totals;
    std::uint64_t reports_done;  // also the ordinal of the last report
};

// One entry as the report search yields it. The name is the program's text
// (UTF-8, or the bytes the system gives) and is also what the report is opened
// by; summary_text is the same name as the summary writes it.
// What the listing found an entry to be, the same on every system. One it
// could not tell (some file systems; a link, which counts as what it points
// to) is looked at before it is opened.
enum class entry_kind : std::uint8_t { not_known, regular_file, folder, other };

struct report_entry {
    std::uint32_t attributes;  // the system's own attribute bits where it has them (Windows), else 0
    entry_kind kind;
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
