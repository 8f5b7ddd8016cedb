// The summary's encoding and the cuts and clean-ups of names, on hand-made cases.
#include "text_encoding.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Windows1251, TextIsConvertedOrKeptAsItsBytes) {
    const struct {
        std::string text, want;
    } cases[] = {
        {"traffic.htm", "traffic.htm"},
        {"\xD1\x82\xD1\x80\xD0\xB0\xD1\x84\xD0\xB8\xD0\xBA.htm", "\xF2\xF0\xE0\xF4\xE8\xEA.htm"},  // трафик
        {"caf\xC3\xA9", "caf?"},                   // é has no place in 1251 and no look-alike
        {"\xF0\x9F\x98\x80", "?"},                 // one character outside the BMP: one "?"
        {"\xE4\xBA\xA4\xE9\x80\x9A", "??"},        // CJK
        {"\xC2\x98", "?"},                         // U+0098: 1251 leaves 0x98 unassigned
        {"caf\xE9", "caf\xE9"},                    // not UTF-8: the bytes as they are
        {"\xC0\xAF", "\xC0\xAF"},                  // an overlong form is not UTF-8
        {"\xED\xA0\x80x", "\xED\xA0\x80x"},        // nor is a surrogate
        {"\xF4\x90\x80\x80", "\xF4\x90\x80\x80"},  // nor anything past U+10FFFF
        {"\xD1", "\xD1"},                          // nor a sequence cut short
    };
    for (const auto& c : cases) EXPECT_EQ(windows_1251_from_text(c.text), c.want) << c.text;
}

TEST(Windows1251, CodePointsOutsideTheTableGiveOneQuestionMark) {
    for (const char32_t c : {U'\u00E9', U'\u0098', char32_t{0xD800}, U'\uFFFD', U'\U0001F600', U'\u0400', U'\u0450'})
        EXPECT_EQ(windows_1251_from_code_point(c), '?') << static_cast<unsigned>(c);
    EXPECT_EQ(windows_1251_from_code_point(U'\u0410'), '\xC0');
    EXPECT_EQ(windows_1251_from_code_point(U'\u044F'), '\xFF');
    EXPECT_EQ(windows_1251_from_code_point(U'\u2116'), '\xB9');
}

TEST(TerminalSafe, ControlsBidiControlsAndBrokenSequencesBecomeQuestionMarks) {
    const struct {
        std::string text, want;
    } cases[] = {
        {"plain \xD0\xB6.htm", "plain \xD0\xB6.htm"},
        {"\x1B]0;title\x07.htm", "?]0;title?.htm"},
        {"\x1B[2J", "?[2J"},
        {"a\x7F\x01\x1F"
         "b",
         "a???b"},
        {"\xC2\x9B"
         "31m",
         "?31m"},  // CSI as a C1 control in UTF-8
        {"\xC2\x80\xC2\x9F\xC2\xA0", "??\xC2\xA0"},
        {"\xC2", "?"},        // a sequence cut short
        {"caf\xE9", "caf?"},  // not UTF-8: each such byte alone
        {"\x9B"
         "31m",
         "?31m"},                             // a raw CSI byte
        {"\xE2\x80\xAEgpj.htm", "?gpj.htm"},  // right-to-left override
        {"a\xD8\x9C\xE2\x80\x8E\xE2\x80\x8F\xE2\x80\xAA\xE2\x81\xA6\xE2\x81\xA9z", "a??????z"},
        {"\xE2\x80\x8D\xE2\x81\xAA", "\xE2\x80\x8D\xE2\x81\xAA"},  // beside them, not them: ZWJ, U+206A
        {"\xED\xA0\x80x", "?x"},  // a lone surrogate from a Windows name, one character
        {"\xE6\xB5\x81\xF0\x9F\x98\x80", "\xE6\xB5\x81\xF0\x9F\x98\x80"},
    };
    for (const auto& c : cases) EXPECT_EQ(terminal_safe(c.text), c.want) << c.text;
}

// Windows names: UTF-16 that need not be valid, to the program's text and
// back unchanged, and to the summary's Windows-1251.
TEST(Utf16Names, ToTextAndBackAndToWindows1251) {
    const struct {
        std::u16string units;
        std::string text, in_1251;
    } cases[] = {
        {u"plain.htm", "plain.htm", "plain.htm"},
        {u"\u0442\u0440\u0430\u0444\u0438\u043A", "\xD1\x82\xD1\x80\xD0\xB0\xD1\x84\xD0\xB8\xD0\xBA",
         "\xF2\xF0\xE0\xF4\xE8\xEA"},
        {u"\u20AC\u2116\u00A0", "\xE2\x82\xAC\xE2\x84\x96\xC2\xA0", "\x88\xB9\xA0"},
        {u"caf\u00E9 \u6D41", "caf\xC3\xA9 \xE6\xB5\x81", "caf? ?"},
        {u"\U0001F600!", "\xF0\x9F\x98\x80!", "?!"},                         // a pair is one character
        {std::u16string{0xD800, u'x'}, "\xED\xA0\x80x", "?x"},               // a lone high surrogate
        {std::u16string{u'x', 0xDFFF}, "x\xED\xBF\xBF", "x?"},               // a lone low one at the end
        {std::u16string{0xDC00, 0xD800}, "\xED\xB0\x80\xED\xA0\x80", "??"},  // the wrong way round
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text_from_utf16(c.units), c.text) << c.text;
        EXPECT_EQ(utf16_from_text(c.text), c.units) << c.text;
        EXPECT_EQ(windows_1251_from_utf16(c.units), c.in_1251) << c.text;
    }
}

// Cuts measured in bytes, as on POSIX systems, and in UTF-16 units, as on Windows.
std::size_t bytes(std::string_view text) { return text.size(); }
std::size_t utf16_units(std::string_view text) {
    std::size_t units = 0;
    for_each_code_point(text, [&](char32_t c) { units += c != invalid_character && c > 0xFFFF ? 2 : 1; });
    return units;
}

TEST(CutAtCharacter, NeverInsideACharacter) {
    const std::string zhe = "\xD0\xB6", emoji = "\xF0\x9F\x98\x80";
    const struct {
        std::string text;
        std::size_t limit;
        std::size_t (*units)(std::string_view);
        std::size_t want;
    } cases[] = {
        {"abcdef", 4, bytes, 4},
        {"abc", 4, bytes, 3},
        {"a" + zhe + zhe, 4, bytes, 3},  // the second ж would take bytes 4 and 5
        {"a" + zhe + zhe, 5, bytes, 5},
        {"a" + emoji + "b", 4, bytes, 1},
        {"a" + emoji + "b", 5, bytes, 5},
        {"a\xE9\xE9\xE9", 3, bytes, 3},          // not UTF-8: cut between any bytes
        {"a" + emoji + "b", 2, utf16_units, 1},  // the pair is never split
        {"a" + emoji + "b", 3, utf16_units, 5},
        {zhe + zhe + zhe, 2, utf16_units, 4},
        {"", 0, bytes, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(cut_at_character(c.text, c.limit, c.units), c.want) << c.text << c.limit;
}

}  // namespace
