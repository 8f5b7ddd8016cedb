// The grand totals over all reports, on the console and in the summary.
#pragma once

void write_totals();
