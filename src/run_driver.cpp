// The program's entry: find the reports, scan each, write the totals, keep the
// summary only when it is complete, and wait for a key.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "platform.hpp"
#include "report_scanner.hpp"
#include "tallies.hpp"
#include "totals_block.hpp"

namespace {

constexpr char summary_prefix[] = "izhod_";
constexpr char summary_suffix[] = "_etc.txt";
constexpr std::size_t longest_file_name = 255;

bool same_letters(const char* a, const char* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// A summary of an earlier run is no report: it would add nothing but an
// ordinal, and it must never give the new summary its name.
bool is_earlier_summary(const char* name) {
    const std::size_t length = std::strlen(name), head = sizeof summary_prefix - 1,
                      tail = sizeof summary_suffix - 1;
    return length >= head + tail && same_letters(name, summary_prefix, head) &&
           same_letters(name + length - tail, summary_suffix, tail);
}

bool find_report(bool first, report_entry& entry) {
    bool found = first ? platform::find_first_report(entry) : platform::find_next_report(entry);
    while (found && is_earlier_summary(entry.name)) found = platform::find_next_report(entry);
    return found;
}

// "izhod_" + the first report's name + "_etc.txt", the name part cut so that
// the whole stays a legal file name.
std::string summary_name(const char* first_report) {
    const std::size_t room = longest_file_name - (sizeof summary_prefix - 1) - (sizeof summary_suffix - 1);
    std::string name = summary_prefix;
    name.append(first_report, std::min(std::strlen(first_report), room));
    name += summary_suffix;
    return name;
}

int run_driver() {
    platform::prepare_run();

    report_entry entry{};
    const bool matched = find_report(true, entry);
    const std::string final_name = summary_name(matched ? entry.name : "");

    const char* reason = nullptr;
    summary_file = text_stream{platform::create_summary(reason), 0};
    if (summary_file.file == nullptr)
        report_failure("cannot write '%s': %s", final_name.c_str(), reason);

    for (bool more = matched; more; more = find_report(false, entry)) scan_report(entry);

    write_totals();

    if (matched) platform::close_report_search();
    if (summary_file.file != nullptr) {
        if (summary_file.error != 0) {
            platform::discard_summary(summary_file.file);
            report_failure("cannot write '%s': %s", final_name.c_str(), std::strerror(summary_file.error));
        } else if (!platform::commit_summary(summary_file.file, final_name.c_str(), reason)) {
            report_failure("cannot write '%s': %s", final_name.c_str(), reason);
        }
        summary_file.file = nullptr;
    }

    write_text(console, "\n");
    platform::pause();

    if (!flush_text(console)) {
        std::fprintf(stderr, "traffic-totals: write error: %s\n", std::strerror(console.error));
        return 1;
    }
    return run_failed() ? 1 : 0;
}

}  // namespace

int main() { return run_driver(); }
