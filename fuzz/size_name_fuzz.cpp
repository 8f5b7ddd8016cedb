// The size formatter and the summary-name rule on any count and any name.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "report_names.hpp"
#include "size_format.hpp"
#include "text_encoding.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    if (size < 8) return 0;
    std::uint64_t count;
    std::memcpy(&count, input, sizeof count);

    // The printed value is the exact quotient to within single precision and
    // the three decimals, in the unit that the count's range calls for.
    char text[64];
    const int length = format_size(count, text, sizeof text);
    if (length <= 0 || length >= static_cast<int>(sizeof text) || text[length - 1] != '\n') std::abort();
    char* end = nullptr;
    const long double shown = std::strtold(text, &end);
    if (end - text < 10 || *end != ' ' || end[-4] != '.') std::abort();
    const std::string unit(end + 1, text + length - 1);
    const int shift = count > (1ull << 30) ? 30 : count > (1ull << 20) ? 20 : count > 1024 ? 10 : 0;
    static const char* const units[] = {"bytes", "KB", "MB", "GB"};
    if (unit != units[shift / 10]) std::abort();
    const long double exact = std::ldexp(static_cast<long double>(count), -shift);
    if (std::fabs(shown - exact) > 0.0005L + exact * 6e-8L) std::abort();

    // Names: any bytes but NUL, up to the longest a file name may be.
    std::string name(reinterpret_cast<const char*>(input + 8), size - 8);
    name = name.substr(0, std::min<std::size_t>(name.find('\0'), 255));
    const std::string summary = summary_name(name.c_str());
    if (summary.size() > 255 || summary.compare(0, 6, "izhod_") != 0 ||
        summary.compare(summary.size() - 8, 8, "_etc.txt") != 0 || !is_earlier_summary(summary.c_str()))
        std::abort();
    const std::string kept = summary.substr(6, summary.size() - 14);
    if (name.compare(0, kept.size(), kept) != 0) std::abort();
    // A cut comes only when the name would not fit, and never inside a
    // character of a name made of whole characters (UTF-8, where a lone
    // surrogate from a Windows name counts as one), so it leaves at most three
    // bytes unused; any other name is cut between bytes.
    if (kept.size() < name.size()) {
        bool whole_characters = true;
        for_each_code_point(name, [&](char32_t c) { whole_characters = whole_characters && c != invalid_character; });
        if (summary.size() < 252) std::abort();
        if (whole_characters && (static_cast<unsigned char>(name[kept.size()]) & 0xC0) == 0x80) std::abort();
        if (!whole_characters && summary.size() != 255) std::abort();
    }
    return 0;
}
