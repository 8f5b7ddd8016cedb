#include "report_names.hpp"

#include "platform.hpp"
#include "text_encoding.hpp"

namespace {

constexpr std::string_view summary_prefix = "izhod_";
constexpr std::string_view summary_suffix = "_etc.txt";
constexpr std::size_t longest_file_name = 255;

bool same_ascii_letters(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

}  // namespace

std::string summary_name(std::string_view first_report) {
    const std::size_t room = longest_file_name - summary_prefix.size() - summary_suffix.size();
    const std::size_t kept = cut_at_character(first_report, room, platform::name_units);
    std::string name(summary_prefix);
    name.append(first_report.substr(0, kept));
    name += summary_suffix;
    return name;
}

bool is_earlier_summary(std::string_view name) {
    return name.size() >= summary_prefix.size() + summary_suffix.size() &&
           same_ascii_letters(name.substr(0, summary_prefix.size()), summary_prefix) &&
           same_ascii_letters(name.substr(name.size() - summary_suffix.size()), summary_suffix);
}
