// Feeds the input through the scan in pieces whose sizes come from the input
// itself, with each kernel the processor has, and checks the counts against
// the tests' one-piece reference scan.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "reference_scan.hpp"
#include "scan_core.hpp"

// Says once which kernels this processor lets the target try.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::fprintf(stderr, "scan_fuzz: kernels");
    for (const scan_kernel kernel : every_scan_kernel)
        if (scan_kernel_supported(kernel)) std::fprintf(stderr, " %s", scan_kernel_name(kernel));
    std::fprintf(stderr, "\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    // The first byte seeds the piece sizes; the rest is the report.
    if (size == 0) return 0;
    unsigned seed = input[0];
    const std::string_view report(reinterpret_cast<const char*>(input + 1), size - 1);
    const scan_counts want = reference_scan(report);
    for (const scan_kernel kernel : every_scan_kernel) {
        if (!use_scan_kernel(kernel)) continue;
        scan_state state;
        scan_start(state);
        std::size_t from = 0;
        while (from < report.size()) {
            seed = seed * 1103515245u + 12345u;
            // Mostly small pieces around the block sizes, now and then a large one.
            const std::size_t piece = (seed >> 16) % 8 == 0 ? 1 + (seed >> 8) % 4096 : 1 + (seed >> 8) % 130;
            const std::size_t n = piece < report.size() - from ? piece : report.size() - from;
            scan_piece(state, reinterpret_cast<const unsigned char*>(report.data()) + from, n);
            from += n;
        }
        const scan_counts got = scan_finish(state);
        if (got.connections != want.connections || got.uploads != want.uploads || got.downloads != want.downloads) {
            std::fprintf(stderr, "scan_fuzz: the %s kernel's counts differ from the reference scan's\n",
                         scan_kernel_name(kernel));
            std::abort();
        }
    }
    return 0;
}
