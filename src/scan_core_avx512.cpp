// Opener masks 64 bytes at a time with AVX-512BW, compared straight into mask
// registers, and the cells listed with VBMI2's byte compress; built with
// AVX-512 enabled for this file alone and used only where the processor and
// the operating system support it.
#include <immintrin.h>

#define SCAN_ISA scan_avx512
#include "scan_blocks.hpp"
#include "scan_kernels.hpp"
#include "scan_x86_digits.hpp"

namespace scan_avx512 {
namespace {

// The offsets of a block's cells compressed out of the offsets of its bytes,
// sixteen at once, which a block of report rows never passes; more are listed
// one by one.
class compressing_cell_lister {
public:
    unsigned list(std::uint16_t* at, std::uint64_t cells, unsigned base) const {
        const unsigned count = ones(cells);
        if (count > 16) [[unlikely]]
            return list_cells_one_by_one(at, cells, base);
        const __m512i byte_offsets =
            _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43, 42, 41,
                            40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18,
                            17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
        const __m512i compressed = _mm512_maskz_compress_epi8(cells, byte_offsets);
        __m128i listed;  // the first sixteen (GCC 12 warns, wrongly, on the cast intrinsics)
        std::memcpy(&listed, &compressed, sizeof listed);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), _mm256_add_epi16(_mm256_cvtepu8_epi16(listed), bases_));
        return count;
    }
    void next_block() { bases_ = _mm256_add_epi16(bases_, _mm256_set1_epi16(64)); }

private:
    __m256i bases_ = _mm256_setzero_si256();  // the block's offset in the batch, in every lane
};

struct opener_masks {
    std::uint64_t cells;
    std::uint64_t rows;
};

std::uint32_t digit_bytes(__m256i digits) {
    return static_cast<std::uint32_t>(_mm256_cmple_epu8_mask(digits, _mm256_set1_epi8(9)));
}

struct avx512_isa {
    // Listing with VBMI2 measured fastest with shorter batches.
    static constexpr std::size_t batch_blocks = 16;
    using row_tally = counted_row_tally;
    using cell_lister = compressing_cell_lister;
    using row_sums = paired_row_sums;

    static opener_masks block_masks(const unsigned char* block) {
        const __m512i first = _mm512_loadu_si512(block);
        const __m512i second = _mm512_loadu_si512(block + 1);
        const __m512i third = _mm512_loadu_si512(block + 2);
        const __mmask64 head = _mm512_mask_cmpeq_epi8_mask(_mm512_cmpeq_epi8_mask(first, _mm512_set1_epi8('<')), second,
                                                           _mm512_set1_epi8('t'));
        return {_mm512_mask_cmpeq_epi8_mask(head, third, _mm512_set1_epi8('d')),
                _mm512_mask_cmpeq_epi8_mask(head, third, _mm512_set1_epi8('r'))};
    }

    static bool fifteen_digits(const unsigned char* at, std::uint64_t& value, std::size_t& length) {
        return fifteen_digits_shuffled(at, value, length);
    }

    static bool add_row_numbers(const unsigned char* bytes, std::size_t a, std::size_t b, std::size_t n, row_sums& to) {
        return add_row_numbers_paired<digit_bytes>(bytes, a, b, n, to);
    }
};

}  // namespace
}  // namespace scan_avx512

const kernel_functions avx512_kernel{scan_avx512::scan_blocks<scan_avx512::avx512_isa>,
                                     scan_avx512::list_blocks<scan_avx512::avx512_isa>,
                                     scan_avx512::scan_listed_blocks<scan_avx512::avx512_isa>};
