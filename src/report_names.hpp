// The rules about names that are the program's own, not the search's: what
// the summary is called, and which names are earlier summaries.
#pragma once

#include <string>
#include <string_view>

// The summary's name: "izhod_" + the first report's name + "_etc.txt", the
// report's part cut at a character so that the whole is at most 255 units of
// the file system.
std::string summary_name(std::string_view first_report);
// Whether a name is one that summary_name gives (ASCII letters in any case):
// such a file is left by an earlier run and is no report.
bool is_earlier_summary(std::string_view name);
