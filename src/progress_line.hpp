// While a report is read: its name and how far the scan has got, on a terminal.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "diagnostics.hpp"
#include "output_streams.hpp"
#include "report_reader.hpp"
#include "tallies.hpp"

// A report that takes more than a second shows its name and how far the scan
// has got on standard error, when that is a terminal, below its size line;
// the line is wiped when the report is done. Standard output never sees it.
class progress_line {
public:
    progress_line(text_stream& console, const diagnostics& messages)
        : console_(console), messages_(messages), start_(std::chrono::steady_clock::now()) {}
    ~progress_line();
    progress_line(const progress_line&) = delete;
    progress_line& operator=(const progress_line&) = delete;
    void update(const report_entry& entry, const reading_progress& progress);
    // Wipes the line, before the report's own lines are written.
    void wipe();
    bool size_line_shown() const { return size_line_shown_; }

private:
    void redraw(const std::string& line, std::size_t width);

    text_stream& console_;
    const diagnostics& messages_;
    std::chrono::steady_clock::time_point start_;
    bool size_line_shown_ = false;
    std::size_t shown_ = 0;
};
