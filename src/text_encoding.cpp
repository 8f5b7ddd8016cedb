#include "text_encoding.hpp"

#include <cstdint>

namespace {

// Windows-1251's upper half, 0x80 to 0xBF, as code points; 0x98 is unassigned.
// From 0xC0 on it is U+0410 to U+044F in order.
constexpr char16_t upper_half[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  //
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  //
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  //
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  //
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  //
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  //
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  //
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  //
};

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

namespace text_detail {

std::size_t decode_one(std::string_view text, std::size_t i, char32_t& code_point, bool allow_surrogates) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        code_point = lead;
        return 1;
    }
    std::size_t length = 0;
    char32_t value = 0, least = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - i < length) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if (!is_continuation(byte(i + k))) return 0;
        value = value << 6 | (byte(i + k) & 0x3F);
    }
    if (value < least || value > 0x10FFFF) return 0;
    if (!allow_surrogates && value >= 0xD800 && value <= 0xDFFF) return 0;
    code_point = value;
    return length;
}

}  // namespace text_detail

bool is_valid_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        char32_t ignored = 0;
        const std::size_t length = text_detail::decode_one(text, i, ignored, false);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

char windows_1251_from_code_point(char32_t code_point) {
    if (code_point < 0x80) return static_cast<char>(code_point);
    if (code_point >= 0x0410 && code_point <= 0x044F) return static_cast<char>(0xC0 + (code_point - 0x0410));
    for (unsigned k = 0; k < 64; ++k)
        if (upper_half[k] == code_point) return static_cast<char>(0x80 + k);
    return '?';
}

std::string windows_1251_from_text(std::string_view text) {
    if (!is_valid_utf8(text)) return std::string(text);
    std::string converted;
    converted.reserve(text.size());
    for_each_code_point(text, [&](char32_t c) { converted += windows_1251_from_code_point(c); });
    return converted;
}

std::string text_from_utf16(std::u16string_view units) {
    std::string text;
    text.reserve(units.size() * 3);
    for_each_utf16_character(units, [&](std::u16string_view character) {
        const char32_t c = character.size() == 2 ? 0x10000 + ((static_cast<char32_t>(character[0]) - 0xD800) << 10) +
                                                       (character[1] - 0xDC00)
                                                 : character[0];
        if (c < 0x80) {
            text += static_cast<char>(c);
            return;
        }
        const int length = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        static constexpr unsigned char leads[] = {0, 0, 0xC0, 0xE0, 0xF0};
        text += static_cast<char>(leads[length] | (c >> (6 * (length - 1))));
        for (int k = length - 2; k >= 0; --k) text += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
    });
    return text;
}

std::u16string utf16_from_text(std::string_view text) {
    std::u16string units;
    units.reserve(text.size());
    for_each_code_point(text, [&](char32_t c) {
        if (c == invalid_character) c = 0xFFFD;  // never in a name that came from the system
        if (c >= 0x10000) {
            units += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            units += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            units += static_cast<char16_t>(c);
        }
    });
    return units;
}

std::string windows_1251_from_utf16(std::u16string_view units) {
    std::string text;
    text.reserve(units.size());
    for_each_utf16_character(units, [&](std::u16string_view character) {
        text += character.size() == 2 ? '?' : windows_1251_from_code_point(character[0]);
    });
    return text;
}

namespace {
// What a terminal might act on instead of showing, or show as another
// character's: the C0 and C1 controls, DEL, surrogates (lone ones from
// Windows names) and the controls that reorder bidirectional text.
bool unsafe_on_terminal(char32_t c) {
    return (c >= 0x01 && c <= 0x1F) || (c >= 0x7F && c <= 0x9F) || (c >= 0xD800 && c <= 0xDFFF) || c == 0x061C ||
           c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}
}  // namespace

std::string terminal_safe(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char32_t c = 0;
        const std::size_t length = text_detail::decode_one(text, i, c, true);
        if (length == 0 || unsafe_on_terminal(c)) {
            shown += '?';
        } else {
            shown.append(text, i, length);
        }
        i += length == 0 ? 1 : length;
    }
    return shown;
}
