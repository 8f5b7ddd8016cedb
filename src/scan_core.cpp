// Feeding the kernels. A kernel only ever sees openers that lie whole inside
// the bytes it is given, so every opener is recognised by the kernels' one
// rule (scan_blocks.hpp): the last two bytes of a piece, where an opener may
// begin, are kept in the state and put in front of the first two bytes of the
// next piece in a seam of four bytes, which the kernel scans for the openers
// that begin in the kept bytes. The only other thing that crosses pieces is a
// number that a piece's end cut off.
#include "scan_core.hpp"

#include <array>
#include <iterator>

#include "scan_kernels.hpp"

namespace {

// __builtin_cpu_supports asks both the processor and whether the operating
// system saves the wider registers.
bool runs_anywhere() { return true; }
#if defined(TRAFFIC_TOTALS_X86_KERNELS)
bool runs_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("popcnt");
}
bool runs_avx512() {
    return runs_avx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi2");
}
#endif

// Every kernel built for this processor's architecture, slowest first.
struct kernel_entry {
    scan_kernel kernel;
    const char* name;
    const kernel_functions& functions;
    bool (*processor_runs)();
};
constexpr kernel_entry kernels[] = {
    {scan_kernel::plain, "plain", plain_kernel, runs_anywhere},
#if defined(TRAFFIC_TOTALS_X86_KERNELS)
    {scan_kernel::sse2, "sse2", sse2_kernel, runs_anywhere},
    {scan_kernel::avx2, "avx2", avx2_kernel, runs_avx2},
    {scan_kernel::avx512, "avx512", avx512_kernel, runs_avx512},
#elif defined(TRAFFIC_TOTALS_NEON_KERNEL)
    // Advanced SIMD is part of every 64-bit ARM processor.
    {scan_kernel::neon, "neon", neon_kernel, runs_anywhere},
#endif
};

constexpr auto kernel_list = [] {
    std::array<scan_kernel, std::size(kernels)> list{};
    for (std::size_t i = 0; i < list.size(); ++i) list[i] = kernels[i].kernel;
    return list;
}();

const kernel_entry* entry_of(scan_kernel kernel) {
    for (const kernel_entry& entry : kernels)
        if (entry.kernel == kernel) return &entry;
    return nullptr;
}

const kernel_entry& fastest_kernel() {
#if !defined(TRAFFIC_TOTALS_PLAIN_SCAN)
    for (std::size_t i = std::size(kernels); i-- > 1;)
        if (kernels[i].processor_runs()) return kernels[i];
#endif
    return kernels[0];
}

const kernel_entry* chosen = &fastest_kernel();

// Finishes a number that the last piece cut off (a kernel given no openers to
// scan does only that), then the openers that begin in the kept bytes. False
// while the number runs on: then every byte here is one of its digits, and no
// opener can begin in them.
bool close_seam(scan_state& s, const unsigned char* bytes, std::size_t n) {
    if (s.pending != no_number) chosen->functions.scan(s, bytes, n, n);
    if (s.pending != no_number) return false;
    const std::size_t head = n < 2 ? n : 2;
    if (s.tail_length + head >= 3) {
        unsigned char seam[4] = {s.tail[0], s.tail[1], 0, 0};
        for (std::size_t i = 0; i < head; ++i) seam[s.tail_length + i] = bytes[i];
        chosen->functions.scan(s, seam, 0, s.tail_length + head);
        // A number begun in the seam goes on in these bytes, after the ones the seam took.
        if (s.pending != no_number) s.pending_skip = static_cast<std::uint8_t>(s.pending_skip + head);
    }
    return true;
}

}  // namespace

void scan_start(scan_state& state) { state = scan_state{}; }

namespace {
// The last two bytes of a piece, where an opener may begin that the next
// piece completes.
void keep_tail(scan_state& s, const unsigned char* bytes, std::size_t n) {
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
}
}  // namespace

void scan_piece(scan_state& state, const unsigned char* bytes, std::size_t n) {
    if (n == 0) return;
    scan_state s = state;
    if (close_seam(s, bytes, n)) chosen->functions.scan(s, bytes, 0, n);
    keep_tail(s, bytes, n);
    state = s;
}

std::uint64_t list_part(part_cells& cells, const unsigned char* bytes, std::size_t n, std::size_t counted_to) {
    return chosen->functions.list(cells, bytes, n, counted_to);
}

// A part's state is fresh but for its place: no seam to close, nothing pending.
void scan_listed_part(scan_state& state, const part_cells& cells, const unsigned char* bytes, std::size_t n) {
    if (n == 0) return;
    scan_state s = state;
    chosen->functions.scan_listed(s, cells, bytes, n);
    keep_tail(s, bytes, n);
    state = s;
}

bool scan_overhang(scan_state& state, const unsigned char* bytes, std::size_t n) {
    if (n == 0) return state.pending == no_number;
    scan_state s = state;
    if (close_seam(s, bytes, n) && s.pending != no_number) chosen->functions.scan(s, bytes, n, n);
    s.tail_length = 0;
    state = s;
    return s.pending == no_number;
}

void scan_start_at_cell(scan_state& state, std::uint64_t cells_before) {
    state = scan_state{};
    state.cell_place = static_cast<std::uint8_t>(cell_cycle::after_cells(cells_before));
}

scan_counts scan_finish(scan_state& state) {
    if (state.pending != no_number) {
        (state.pending == upload_number ? state.counts.uploads : state.counts.downloads) += state.pending_value;
        state.pending = no_number;
    }
    return state.counts;
}

const std::span<const scan_kernel> every_scan_kernel{kernel_list};

scan_kernel active_scan_kernel() { return chosen->kernel; }

bool scan_kernel_supported(scan_kernel kernel) {
    const kernel_entry* entry = entry_of(kernel);
    return entry != nullptr && entry->processor_runs();
}

bool use_scan_kernel(scan_kernel kernel) {
    if (!scan_kernel_supported(kernel)) return false;
    chosen = entry_of(kernel);
    return true;
}

const char* scan_kernel_name(scan_kernel kernel) {
    const kernel_entry* entry = entry_of(kernel);
    return entry != nullptr ? entry->name : "absent";
}
