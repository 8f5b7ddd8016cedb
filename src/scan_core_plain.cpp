// The portable kernel: the opener scan one position at a time.
#define SCAN_ISA scan_plain
#include "scan_blocks.hpp"
#include "scan_kernels.hpp"

void scan_openers_plain(scan_state& state, const unsigned char* bytes, std::size_t from, std::size_t n) {
    scan_plain::finish_pending(state, bytes, n);
    scan_plain::scan_bytewise(state, state.counts, state.cell_place, bytes, from, n);
}

std::uint64_t count_cells_plain(const unsigned char* bytes, std::size_t n) {
    return scan_plain::count_cells_bytewise(bytes, 0, n);
}
