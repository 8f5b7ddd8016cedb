// One report: its size line, its scan, its console block and summary section,
// and its share of the run totals.
#pragma once

#include "tallies.hpp"

void scan_report(report_entry entry);
