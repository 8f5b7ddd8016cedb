// The scan's state machine, and the choice of the kernel that does the bulk.
//
// A row opener is the bytes "<tr", a cell opener "<td"; both are recognised at
// their third byte from the two bytes before it, so nothing ever has to look
// past the end of a piece. Each cell opener moves the place in a nine-cell
// cycle (1..9, then 1 again); the openers landing on place 5 and place 6 start
// a number four bytes after their "<": one byte past the tag name is skipped,
// then decimal digits are read until the first non-digit. A number in progress
// is the only other state, and it can never overlap the next counted opener,
// because the "<" that begins an opener is not a digit.
//
// The machine runs only at the seam between pieces; inside a piece a kernel
// finds the openers with look-ahead, which gives the same counts.
#include "scan_core.hpp"

#include "scan_kernels.hpp"

namespace {

inline bool is_digit(unsigned char c) { return static_cast<unsigned char>(c - '0') <= 9; }

inline void add_number(scan_counts& counts, std::uint8_t target, std::uint64_t value) {
    if (target == upload_number)
        counts.uploads += value;
    else
        counts.downloads += value;
}

inline void step(scan_state& s, unsigned char c) {
    if (s.pending != no_number) {
        if (s.pending_skip != 0) {
            s.pending_skip = 0;
        } else if (is_digit(c)) {
            s.pending_value = s.pending_value * 10 + (c - '0');
        } else {
            add_number(s.counts, s.pending, s.pending_value);
            s.pending = no_number;
        }
    }
    if (s.prev2 == '<' && s.prev1 == 't') {
        if (c == 'd') {
            s.cell_place = s.cell_place == 9 ? 1 : s.cell_place + 1;
            if (s.cell_place == 5 || s.cell_place == 6) {
                s.pending = s.cell_place == 5 ? upload_number : download_number;
                s.pending_skip = 1;
                s.pending_value = 0;
            }
        } else if (c == 'r') {
            ++s.counts.connections;
        }
    }
    s.prev2 = s.prev1;
    s.prev1 = c;
}

using opener_scan = void (*)(scan_state&, const unsigned char*, std::size_t, std::size_t);

#if defined(TRAFFIC_TOTALS_X86_KERNELS)
opener_scan opener_scan_for(scan_kernel kernel) {
    switch (kernel) {
        case scan_kernel::sse2:
            return scan_openers_sse2;
        case scan_kernel::avx2:
            return scan_openers_avx2;
        case scan_kernel::plain:
            break;
    }
    return scan_openers_plain;
}

scan_kernel fastest_kernel() {
#if defined(TRAFFIC_TOTALS_PLAIN_SCAN)
    return scan_kernel::plain;
#else
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? scan_kernel::avx2 : scan_kernel::sse2;
#endif
}
#else
opener_scan opener_scan_for(scan_kernel kernel) { return kernel == scan_kernel::plain ? scan_openers_plain : nullptr; }
scan_kernel fastest_kernel() { return scan_kernel::plain; }
#endif

scan_kernel chosen_kernel = fastest_kernel();
opener_scan chosen_scan = opener_scan_for(chosen_kernel);

}  // namespace

void scan_start(scan_state& state) { state = scan_state{}; }

void scan_piece(scan_state& state, const unsigned char* bytes, std::size_t n) {
    scan_state s = state;
    // The byte machine takes the seam with the previous piece: the openers
    // that straddle it, and a number still being read. From there on every
    // opener lies wholly inside the piece and the kernel takes over.
    std::size_t i = 0;
    while (i < n && (i < 2 || s.pending != no_number)) step(s, bytes[i++]);
    if (i < n) {
        chosen_scan(s, bytes, i - 2, n);
        s.prev2 = bytes[n - 2];
        s.prev1 = bytes[n - 1];
    }
    state = s;
}

scan_counts scan_finish(scan_state& state) {
    if (state.pending != no_number) {
        add_number(state.counts, state.pending, state.pending_value);
        state.pending = no_number;
    }
    return state.counts;
}

std::size_t read_cell_number(const unsigned char* bytes, std::size_t q, std::size_t n, std::uint64_t& value) {
    std::uint64_t v = 0;
    while (q < n && is_digit(bytes[q])) v = v * 10 + static_cast<unsigned>(bytes[q++] - '0');
    value = v;
    return q;
}

scan_kernel active_scan_kernel() { return chosen_kernel; }

bool scan_kernel_supported(scan_kernel kernel) {
    if (opener_scan_for(kernel) == nullptr) return false;
#if defined(TRAFFIC_TOTALS_X86_KERNELS)
    __builtin_cpu_init();
    if (kernel == scan_kernel::avx2) return __builtin_cpu_supports("avx2");
#endif
    return true;
}

bool use_scan_kernel(scan_kernel kernel) {
    if (!scan_kernel_supported(kernel)) return false;
    chosen_kernel = kernel;
    chosen_scan = opener_scan_for(kernel);
    return true;
}

const char* scan_kernel_name(scan_kernel kernel) {
    switch (kernel) {
        case scan_kernel::sse2:
            return "sse2";
        case scan_kernel::avx2:
            return "avx2";
        case scan_kernel::plain:
            break;
    }
    return "plain";
}
