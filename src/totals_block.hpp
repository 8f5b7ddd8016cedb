// The grand totals over all reports, on the console and in the summary.
#pragma once

#include "diagnostics.hpp"
#include "output_streams.hpp"
#include "tallies.hpp"

void write_totals(run_output& out, diagnostics& messages, const tallies& totals);
