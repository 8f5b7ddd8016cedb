// One report's lines, once it is read: its size line, a message where it
// could not be read or changed while it was read, its console block and its
// summary section.
#pragma once

#include <cstdint>

#include "diagnostics.hpp"
#include "output_streams.hpp"
#include "report_reader.hpp"
#include "scan_core.hpp"
#include "tallies.hpp"

void write_size_line(text_stream& console, const report_entry& entry, std::uint64_t size);

// Writes the report's lines (the size line unless already shown), with the
// ordinal it has in the summary, and returns its counts.
scan_counts scan_report(run_output& out, diagnostics& messages, const report_entry& entry,
                        const report_reading& reading, std::uint64_t ordinal, bool size_line_shown);
