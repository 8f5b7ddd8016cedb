// The grand totals over all reports, on the console and in the summary.
#pragma once

#include "tallies.hpp"

void write_totals(const tallies& totals);
