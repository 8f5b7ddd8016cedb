#include <gtest/gtest.h>

#include <string>

#include "report_names.hpp"

namespace {

TEST(SummaryName, PrefixNameSuffixCutAt255Bytes) {
    const std::string n241(241, 'a'), n242(242, 'a');
    const struct {
        std::string report, want;
    } cases[] = {
        {"traffic.htm", "izhod_traffic.htm_etc.txt"},
        {"", "izhod__etc.txt"},
        {n241, "izhod_" + n241 + "_etc.txt"},
        {n242, "izhod_" + n241 + "_etc.txt"},
        {std::string(255, 'b'), "izhod_" + std::string(241, 'b') + "_etc.txt"},
        {"caf\xE9.htm", "izhod_caf\xE9.htm_etc.txt"},
#if defined(_WIN32)
        // 255 UTF-16 units: ж is one, an emoji two, and a pair is never split.
        {"\xD0\xB6" + n241, "izhod_\xD0\xB6" + std::string(240, 'a') + "_etc.txt"},
        {std::string(240, 'a') + "\xF0\x9F\x98\x80", "izhod_" + std::string(240, 'a') + "_etc.txt"},
        {std::string(239, 'a') + "\xF0\x9F\x98\x80", "izhod_" + std::string(239, 'a') + "\xF0\x9F\x98\x80_etc.txt"},
#else
        // 255 bytes, never inside a UTF-8 character; other names by bytes.
        {"\xD0\xB6" + n241, "izhod_\xD0\xB6" + std::string(239, 'a') + "_etc.txt"},
        {"a\xD0\xB6" + n241, "izhod_a\xD0\xB6" + std::string(238, 'a') + "_etc.txt"},
        {std::string(240, 'a') + "\xD0\xB6", "izhod_" + std::string(240, 'a') + "_etc.txt"},
        {std::string(240, 'a') + "\xE9\xE9", "izhod_" + std::string(240, 'a') + "\xE9_etc.txt"},
#endif
    };
    for (const auto& c : cases) {
        EXPECT_EQ(summary_name(c.report), c.want) << c.report;
        EXPECT_TRUE(is_earlier_summary(summary_name(c.report).c_str())) << c.report;
    }
}

TEST(SummaryName, EarlierSummariesAreKnownInAnyCase) {
    const struct {
        const char* name;
        bool summary;
    } cases[] = {
        {"izhod_traffic.htm_etc.txt", true},
        {"IZHOD_x.HTML_ETC.TXT", true},
        {"izhod__etc.txt", true},
        {"izhod_etc.txt", false},  // prefix and suffix would share the underscore
        {"izhod_traffic.htm", false},
        {"traffic.htm_etc.txt", false},
        {"xizhod_a_etc.txt", false},
        {"izhod_a_etc.txt.htm", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(is_earlier_summary(c.name), c.summary) << c.name;
}

}  // namespace
