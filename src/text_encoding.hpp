// The program's text is UTF-8 (on Windows, names that are not valid UTF-16
// keep their lone surrogates as three-byte sequences, so they convert back
// exactly). This unit holds the rules that turn such text into what the
// summary and a terminal may show, and that cut it at a character.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Whether the text is valid UTF-8: no overlong forms, no surrogates, nothing
// past U+10FFFF, no sequence cut short.
bool is_valid_utf8(std::string_view text);

// The Windows-1251 byte of a code point, or '?' where 1251 has none. Nothing is
// replaced by a look-alike: "é" gives "?", never "e".
char windows_1251_from_code_point(char32_t code_point);

// Calls each(code point) for the characters of UTF-8 text. A three-byte
// surrogate sequence is one character, passed as its surrogate code point;
// any other byte that does not start a whole sequence is passed as
// invalid_character.
inline constexpr char32_t invalid_character = 0xFFFFFFFF;
template <typename Each>
void for_each_code_point(std::string_view text, Each each);

// Text for the summary: valid UTF-8 becomes Windows-1251, one "?" per
// character that 1251 lacks; anything else is kept as its bytes, which may
// already be 1251, as names copied from Windows disks often are.
std::string windows_1251_from_text(std::string_view text);

// The length of the longest start of text that ends at a character: the
// whole text when that is no longer than limit, else the cut before the
// first character that would pass it, where unit_count(start) tells the
// length of a start in the system's own units. Text that is not UTF-8 is cut
// between any two bytes.
template <typename UnitCount>
std::size_t cut_at_character(std::string_view text, std::size_t limit, UnitCount unit_count);

// A name or path as it may be shown on a terminal: each control character
// (bytes 0x01-0x1F and 0x7F, U+0080-U+009F), each bidirectional control
// (U+061C, U+200E, U+200F, U+202A-U+202E, U+2066-U+2069), each surrogate and
// each byte that does not begin a whole UTF-8 sequence becomes one "?", so a
// name cannot move the cursor, clear the screen, set the window's title or
// pass for another name.
std::string terminal_safe(std::string_view text);

// Windows names are UTF-16 and need not be valid: a lone surrogate is kept.
// text_from_utf16 gives the program's text (a lone surrogate as its
// three-byte form), which utf16_from_text turns back into the very same
// units; windows_1251_from_utf16 gives the summary's text, one "?" for each
// character (a pair or a lone surrogate) that 1251 lacks.
std::string text_from_utf16(std::u16string_view units);
std::u16string utf16_from_text(std::string_view text);
std::string windows_1251_from_utf16(std::u16string_view units);

// Calls each(character) for each character of UTF-16 text: a surrogate pair
// as one, anything else (a lone surrogate too) as one unit.
template <typename Each>
void for_each_utf16_character(std::u16string_view units, Each each);

// ---- templates --------------------------------------------------------------

namespace text_detail {
// The code point of the sequence at text[i], and its length; 0 when none starts there.
std::size_t decode_one(std::string_view text, std::size_t i, char32_t& code_point, bool allow_surrogates);
}  // namespace text_detail

template <typename Each>
void for_each_code_point(std::string_view text, Each each) {
    for (std::size_t i = 0; i < text.size();) {
        char32_t code_point = 0;
        const std::size_t length = text_detail::decode_one(text, i, code_point, true);
        if (length == 0) {
            each(invalid_character);
            ++i;
        } else {
            each(code_point);
            i += length;
        }
    }
}

template <typename UnitCount>
std::size_t cut_at_character(std::string_view text, std::size_t limit, UnitCount unit_count) {
    if (unit_count(text) <= limit) return text.size();
    bool characters = true;
    for_each_code_point(text, [&](char32_t c) { characters = characters && c != invalid_character; });
    std::size_t cut = 0;
    for (std::size_t end = 1; end <= text.size(); ++end) {
        const bool boundary =
            !characters || end == text.size() || (static_cast<unsigned char>(text[end]) & 0xC0) != 0x80;
        if (!boundary) continue;
        if (unit_count(text.substr(0, end)) > limit) break;
        cut = end;
    }
    return cut;
}

template <typename Each>
void for_each_utf16_character(std::u16string_view units, Each each) {
    for (std::size_t i = 0; i < units.size(); ++i) {
        const bool pair = units[i] >= 0xD800 && units[i] <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
                          units[i + 1] <= 0xDFFF;
        each(units.substr(i, pair ? 2 : 1));
        if (pair) ++i;
    }
}
