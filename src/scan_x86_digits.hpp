// Decimal numbers read with x86 byte shuffles, shared by the kernels built
// for AVX2 and for AVX-512; included after scan_blocks.hpp, into the same
// kernel's own namespace.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#ifndef SCAN_ISA
#error "define SCAN_ISA, the kernel's own namespace, before including scan_x86_digits.hpp"
#endif

namespace SCAN_ISA {

// Shuffle controls that move the first `length` bytes of a register to its
// end and clear the rest: the 16 bytes from shift_right + length.
alignas(16) inline constexpr signed char shift_right[32] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                                            -1, -1, -1, -1, -1, 0,  1,  2,  3,  4,  5,
                                                            6,  7,  8,  9,  10, 11, 12, 13, 14, 15};

// Up to fifteen digits from one 16-byte load: found with a compare, moved to
// the end of the register by a shuffle, and combined in pairs, fours and
// eights by multiply-adds.
inline bool fifteen_digits_shuffled(const unsigned char* at, std::uint64_t& value, std::size_t& length) {
    const __m128i digits = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), _mm_set1_epi8('0'));
    const auto digit_bytes =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(digits, _mm_set1_epi8(9)), digits)));
    length = static_cast<unsigned>(__builtin_ctz(~digit_bytes));
    if (length == 16) return false;
    const __m128i aligned =
        _mm_shuffle_epi8(digits, _mm_loadu_si128(reinterpret_cast<const __m128i*>(shift_right + length)));
    const __m128i pairs =
        _mm_maddubs_epi16(aligned, _mm_setr_epi8(10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1));
    const __m128i fours = _mm_madd_epi16(pairs, _mm_setr_epi16(100, 1, 100, 1, 100, 1, 100, 1));
    const __m128i eights =
        _mm_madd_epi16(_mm_packus_epi32(fours, fours), _mm_setr_epi16(10000, 1, 10000, 1, 10000, 1, 10000, 1));
    const auto both = static_cast<std::uint64_t>(_mm_cvtsi128_si64(eights));
    value = (both & 0xFFFFFFFF) * 100000000 + (both >> 32);
    return true;
}

// Sums of a row's two numbers, kept in the lowest 64 bits of each half of a
// 256-bit register (upload, download).
struct paired_row_sums {
    __m256i sums = _mm256_setzero_si256();
    std::uint64_t uploads() const { return static_cast<std::uint64_t>(_mm256_extract_epi64(sums, 0)); }
    std::uint64_t downloads() const { return static_cast<std::uint64_t>(_mm256_extract_epi64(sums, 2)); }
};

// Adds two numbers at once, one in each half of a 256-bit register, to the
// sums: false, adding nothing, when either has sixteen digits or more.
// digit_bytes gives the mask of the bytes that are digits once '0' is taken
// from them.
template <std::uint32_t (*digit_bytes)(__m256i)>
inline bool add_two_numbers(const unsigned char* a, const unsigned char* b, paired_row_sums& to) {
    const __m256i digits = _mm256_sub_epi8(
        _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a))),
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(b)), 1),
        _mm256_set1_epi8('0'));
    const std::uint32_t digit_mask = digit_bytes(digits);
    const unsigned length_a = static_cast<unsigned>(__builtin_ctz(~digit_mask | 0x10000u));
    const unsigned length_b = static_cast<unsigned>(__builtin_ctz(~(digit_mask >> 16)));
    if (((length_a | length_b) & 16) != 0) return false;
    const __m256i control = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(shift_right + length_a))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(shift_right + length_b)), 1);
    const __m256i aligned = _mm256_shuffle_epi8(digits, control);
    const __m256i pairs = _mm256_maddubs_epi16(aligned, _mm256_set1_epi16(0x010A));
    const __m256i fours = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00010064));
    // Each half's lowest 64 bits: the first eight digits' value, then the last eight's.
    const __m256i eights = _mm256_madd_epi16(_mm256_packus_epi32(fours, fours), _mm256_set1_epi32(0x00012710));
    const __m256i values =
        _mm256_add_epi64(_mm256_mul_epu32(eights, _mm256_set1_epi64x(100000000)), _mm256_srli_epi64(eights, 32));
    to.sums = _mm256_add_epi64(to.sums, values);
    return true;
}

// Both numbers of a row, from the openers at a (the upload) and b (the
// download): false when either is near the end of the piece or has sixteen
// digits or more.
template <std::uint32_t (*digit_bytes)(__m256i)>
inline bool add_row_numbers_paired(const unsigned char* bytes, std::size_t a, std::size_t b, std::size_t n,
                                   paired_row_sums& to) {
    return b + 4 + 16 <= n && add_two_numbers<digit_bytes>(bytes + a + 4, bytes + b + 4, to);
}

}  // namespace SCAN_ISA
