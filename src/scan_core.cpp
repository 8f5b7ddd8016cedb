// Feeding the kernels. A kernel only ever sees openers that lie whole inside
// the bytes it is given, so every opener is recognised by the kernels' one
// rule (scan_blocks.hpp): the last two bytes of a piece, where an opener may
// begin, are kept in the state and put in front of the first two bytes of the
// next piece in a seam of four bytes, which the kernel scans for the openers
// that begin in the kept bytes. The only other thing that crosses pieces is a
// number that a piece's end cut off.
#include "scan_core.hpp"

#include "scan_kernels.hpp"

namespace {

// A kernel's two entry points: the scan, and the count of cell openers.
struct kernel_functions {
    void (*scan)(scan_state&, const unsigned char*, std::size_t, std::size_t);
    std::uint64_t (*count)(const unsigned char*, std::size_t);
};

#if defined(TRAFFIC_TOTALS_X86_KERNELS)
kernel_functions functions_of(scan_kernel kernel) {
    switch (kernel) {
        case scan_kernel::sse2:
            return {scan_openers_sse2, count_cells_sse2};
        case scan_kernel::avx2:
            return {scan_openers_avx2, count_cells_avx2};
        case scan_kernel::avx512:
            return {scan_openers_avx512, count_cells_avx512};
        case scan_kernel::plain:
            break;
    }
    return {scan_openers_plain, count_cells_plain};
}

// __builtin_cpu_supports asks both the processor and whether the operating
// system saves the wider registers.
bool processor_runs(scan_kernel kernel) {
    __builtin_cpu_init();
    switch (kernel) {
        case scan_kernel::avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi2") &&
                   processor_runs(scan_kernel::avx2);
        case scan_kernel::avx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("popcnt");
        case scan_kernel::plain:
        case scan_kernel::sse2:
            break;
    }
    return true;
}

scan_kernel fastest_kernel() {
#if defined(TRAFFIC_TOTALS_PLAIN_SCAN)
    return scan_kernel::plain;
#else
    if (processor_runs(scan_kernel::avx512)) return scan_kernel::avx512;
    return processor_runs(scan_kernel::avx2) ? scan_kernel::avx2 : scan_kernel::sse2;
#endif
}
#else
kernel_functions functions_of(scan_kernel) { return {scan_openers_plain, count_cells_plain}; }
bool processor_runs(scan_kernel kernel) { return kernel == scan_kernel::plain; }
scan_kernel fastest_kernel() { return scan_kernel::plain; }
#endif

scan_kernel chosen_kernel = fastest_kernel();
kernel_functions chosen = functions_of(chosen_kernel);

// Finishes a number that the last piece cut off (a kernel given no openers to
// scan does only that), then the openers that begin in the kept bytes. False
// while the number runs on: then every byte here is one of its digits, and no
// opener can begin in them.
bool close_seam(scan_state& s, const unsigned char* bytes, std::size_t n) {
    if (s.pending != no_number) chosen.scan(s, bytes, n, n);
    if (s.pending != no_number) return false;
    const std::size_t head = n < 2 ? n : 2;
    if (s.tail_length + head >= 3) {
        unsigned char seam[4] = {s.tail[0], s.tail[1], 0, 0};
        for (std::size_t i = 0; i < head; ++i) seam[s.tail_length + i] = bytes[i];
        chosen.scan(s, seam, 0, s.tail_length + head);
        // A number begun in the seam goes on in these bytes, after the ones the seam took.
        if (s.pending != no_number) s.pending_skip = static_cast<std::uint8_t>(s.pending_skip + head);
    }
    return true;
}

}  // namespace

void scan_start(scan_state& state) { state = scan_state{}; }

void scan_piece(scan_state& state, const unsigned char* bytes, std::size_t n) {
    if (n == 0) return;
    scan_state s = state;
    if (close_seam(s, bytes, n)) chosen.scan(s, bytes, 0, n);
    if (n >= 2) {
        s.tail[0] = bytes[n - 2];
        s.tail[1] = bytes[n - 1];
        s.tail_length = 2;
    } else if (s.tail_length == 2) {
        s.tail[0] = s.tail[1];
        s.tail[1] = bytes[0];
    } else {
        s.tail[s.tail_length++] = bytes[0];
    }
    state = s;
}

bool scan_overhang(scan_state& state, const unsigned char* bytes, std::size_t n) {
    if (n == 0) return state.pending == no_number;
    scan_state s = state;
    if (close_seam(s, bytes, n) && s.pending != no_number) chosen.scan(s, bytes, n, n);
    s.tail_length = 0;
    state = s;
    return s.pending == no_number;
}

std::uint64_t count_cell_openers(const unsigned char* bytes, std::size_t n) { return chosen.count(bytes, n); }

void scan_start_at_cell(scan_state& state, std::uint64_t cells_before) {
    state = scan_state{};
    state.cell_place = static_cast<std::uint8_t>(cells_before == 0 ? 0 : (cells_before - 1) % 9 + 1);
}

scan_counts scan_finish(scan_state& state) {
    if (state.pending != no_number) {
        (state.pending == upload_number ? state.counts.uploads : state.counts.downloads) += state.pending_value;
        state.pending = no_number;
    }
    return state.counts;
}

scan_kernel active_scan_kernel() { return chosen_kernel; }

bool scan_kernel_supported(scan_kernel kernel) { return processor_runs(kernel); }

bool use_scan_kernel(scan_kernel kernel) {
    if (!scan_kernel_supported(kernel)) return false;
    chosen_kernel = kernel;
    chosen = functions_of(kernel);
    return true;
}

const char* scan_kernel_name(scan_kernel kernel) {
    switch (kernel) {
        case scan_kernel::sse2:
            return "sse2";
        case scan_kernel::avx2:
            return "avx2";
        case scan_kernel::avx512:
            return "avx512";
        case scan_kernel::plain:
            break;
    }
    return "plain";
}
