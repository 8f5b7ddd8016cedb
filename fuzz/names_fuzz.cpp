// Every conversion a name goes through on its way out, on any input: its
// bytes as a POSIX name, and its bytes taken in pairs as a Windows name's
// UTF-16 units (lone surrogates included). The expected output is built here
// from the C library's own Windows-1251 table and a strict UTF-8 decoder of
// this file's, not from the code under test.
#include <iconv.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "tallies.hpp"
#include "text_encoding.hpp"

namespace {

std::map<char32_t, char> windows_1251;  // code point to byte, from iconv

// Strict UTF-8: each character's code point, or -1 for a byte that does not
// begin a whole, shortest sequence. A surrogate's three bytes count as one
// character only where asked: the program's text holds a Windows name's lone
// surrogate so, but no valid UTF-8 does.
std::vector<long> decode(const std::string& text, std::vector<std::size_t>* lengths = nullptr,
                         bool surrogates = false) {
    std::vector<long> out;
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t n = b < 0x80                 ? 1
                        : b >= 0xC2 && b <= 0xDF ? 2
                        : b >= 0xE0 && b <= 0xEF ? 3
                        : b >= 0xF0 && b <= 0xF4 ? 4
                                                 : 0;
        long c = n == 1 ? b : n == 2 ? b & 0x1F : n == 3 ? b & 0x0F : b & 0x07;
        bool whole = n != 0 && i + n <= text.size();
        for (std::size_t k = 1; whole && k < n; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            whole = (next & 0xC0) == 0x80;
            c = c << 6 | (next & 0x3F);
        }
        const long least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (!whole || c < least[n] || c > 0x10FFFF || (!surrogates && c >= 0xD800 && c <= 0xDFFF)) {
            out.push_back(-1);
            if (lengths) lengths->push_back(1);
            ++i;
        } else {
            out.push_back(c);
            if (lengths) lengths->push_back(n);
            i += n;
        }
    }
    return out;
}

bool valid_utf8(const std::string& text) {
    for (const long c : decode(text))
        if (c < 0) return false;
    return true;
}

char in_1251(long c) {
    if (c < 0x80) return static_cast<char>(c);
    const auto found = windows_1251.find(static_cast<char32_t>(c));
    return found == windows_1251.end() ? '?' : found->second;
}

// What a terminal must never receive as it is.
bool unsafe(long c) {
    static const long bidi[] = {0x061C, 0x200E, 0x200F, 0x202A, 0x202B, 0x202C,
                                0x202D, 0x202E, 0x2066, 0x2067, 0x2068, 0x2069};
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0xD800 && c <= 0xDFFF)) return true;
    for (const long b : bidi)
        if (c == b) return true;
    return false;
}

// On a terminal each safe character stays as it is, and each unsafe one, each
// surrogate and each byte outside a whole sequence becomes one "?".
void check_terminal_text(const std::string& name) {
    std::vector<std::size_t> lengths;
    const std::vector<long> in = decode(name, &lengths, true);
    std::string expected;
    for (std::size_t i = 0, at = 0; i < in.size(); at += lengths[i], ++i) {
        if (in[i] < 0 || unsafe(in[i]))
            expected += '?';
        else
            expected.append(name, at, lengths[i]);
    }
    const std::string shown = terminal_safe(name);
    if (shown != expected || !valid_utf8(shown)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const iconv_t table = iconv_open("UTF-32LE", "CP1251");
    if (table == reinterpret_cast<iconv_t>(-1)) std::abort();
    for (int b = 0x80; b <= 0xFF; ++b) {
        char in = static_cast<char>(b), *in_at = &in;
        unsigned char out[4];
        char* out_at = reinterpret_cast<char*>(out);
        std::size_t in_left = 1, out_left = sizeof out;
        if (iconv(table, &in_at, &in_left, &out_at, &out_left) == 0 && out_left == 0)
            windows_1251[static_cast<char32_t>(out[0] | out[1] << 8 | out[2] << 16 | out[3] << 24)] =
                static_cast<char>(b);
    }
    iconv_close(table);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    // A POSIX name: any bytes but NUL, at most 255 of them.
    std::string name;
    for (std::size_t i = 0; i < size && name.size() < 255; ++i)
        if (input[i] != 0) name += static_cast<char>(input[i]);
    const std::string summary = windows_1251_from_text(name);
    if (summary.size() >= sizeof report_entry{}.summary_text) std::abort();
    if (valid_utf8(name)) {
        std::string expected;
        for (const long c : decode(name)) expected += in_1251(c);
        if (summary != expected) std::abort();
    } else if (summary != name) {
        std::abort();  // not UTF-8: maybe 1251 already, kept as it is
    }
    check_terminal_text(name);

    // A Windows name: any units but 0, at most 255 of them.
    std::u16string units;
    for (std::size_t i = 0; i + 1 < size && units.size() < 255; i += 2) {
        const auto unit = static_cast<char16_t>(input[i] | input[i + 1] << 8);
        if (unit != 0) units += unit;
    }
    const std::string text = text_from_utf16(units);
    if (text.size() >= sizeof report_entry{}.name || utf16_from_text(text) != units) std::abort();
    std::string expected;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const bool pair = units[i] >= 0xD800 && units[i] <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
                          units[i + 1] <= 0xDFFF;
        const bool lone = !pair && units[i] >= 0xD800 && units[i] <= 0xDFFF;
        expected += pair || lone ? '?' : in_1251(units[i]);
        if (pair) ++i;
    }
    const std::string windows_summary = windows_1251_from_utf16(units);
    if (windows_summary != expected || windows_summary.size() >= sizeof report_entry{}.summary_text) std::abort();
    check_terminal_text(text);
    return 0;
}
