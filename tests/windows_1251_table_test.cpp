// The summary's Windows-1251 table against the C library's own iconv.
#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

#include "text_encoding.hpp"

namespace {

// What iconv makes of one Windows-1251 byte, in UTF-8; empty where 1251 has no character.
std::string utf8_of_1251_byte(unsigned char byte) {
    iconv_t convert = iconv_open("UTF-8", "CP1251");
    EXPECT_NE(convert, reinterpret_cast<iconv_t>(-1));
    char in[1] = {static_cast<char>(byte)}, out[8] = {};
    char *from = in, *to = out;
    std::size_t in_left = 1, out_left = sizeof out;
    const std::size_t done = iconv(convert, &from, &in_left, &to, &out_left);
    iconv_close(convert);
    return done == static_cast<std::size_t>(-1) ? std::string() : std::string(out, to);
}

TEST(Windows1251, EveryByteComesBackFromItsCharacter) {
    int unassigned = 0;
    for (int byte = 1; byte < 256; ++byte) {
        const std::string character = utf8_of_1251_byte(static_cast<unsigned char>(byte));
        if (character.empty()) {
            ++unassigned;
            continue;
        }
        EXPECT_EQ(windows_1251_from_text(character), std::string(1, static_cast<char>(byte))) << byte;
    }
    EXPECT_EQ(unassigned, 1) << "0x98 alone has no character";
}

}  // namespace
