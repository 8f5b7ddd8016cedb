// Opener masks 64 bytes at a time with AVX-512BW, compared straight into mask
// registers, and the cells listed with VBMI2's byte compress; built with
// AVX-512 enabled for this file alone and used only where the processor and
// the operating system support it.
#include <immintrin.h>

#define SCAN_ISA scan_avx512
#include "scan_blocks.hpp"
#include "scan_kernels.hpp"

namespace scan_avx512 {
namespace {

opener_masks avx512_masks(const unsigned char* block) {
    const __m512i first = _mm512_loadu_si512(block);
    const __m512i second = _mm512_loadu_si512(block + 1);
    const __m512i third = _mm512_loadu_si512(block + 2);
    const __mmask64 head = _mm512_mask_cmpeq_epi8_mask(_mm512_cmpeq_epi8_mask(first, _mm512_set1_epi8('<')), second,
                                                       _mm512_set1_epi8('t'));
    return {_mm512_mask_cmpeq_epi8_mask(head, third, _mm512_set1_epi8('d')),
            _mm512_mask_cmpeq_epi8_mask(head, third, _mm512_set1_epi8('r'))};
}

}  // namespace
}  // namespace scan_avx512

void scan_openers_avx512(scan_state& state, const unsigned char* bytes, std::size_t from, std::size_t n) {
    scan_avx512::scan_blocks<scan_avx512::avx512_masks>(state, bytes, from, n);
}

std::uint64_t count_cells_avx512(const unsigned char* bytes, std::size_t n) {
    return scan_avx512::count_cells<scan_avx512::avx512_masks>(bytes, n);
}
