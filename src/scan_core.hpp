// The byte scan of a report: bytes in, counts out, fed in pieces of any size.
// It knows nothing of files or consoles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "tallies.hpp"

enum : std::uint8_t { no_number = 0, upload_number = 1, download_number = 2 };

// Everything the scan carries from one piece to the next: the place in the
// nine-cell cycle, the last bytes of the piece (where an opener may begin
// that the next piece completes), and a number cut off by the piece's end.
struct scan_state {
    scan_counts counts;
    std::uint8_t cell_place;   // of the last cell opener, 1..9; 0 (or 9: the same) before the first
    std::uint8_t tail_length;  // 0..2 bytes in tail
    std::uint8_t tail[2];
    std::uint8_t pending;       // which sum a number still being read belongs to
    std::uint8_t pending_skip;  // bytes to pass before that number's first digit
    std::uint64_t pending_value;
};

void scan_start(scan_state& state);
void scan_piece(scan_state& state, const unsigned char* bytes, std::size_t n);
// The end of the report: bytes past it read as zero, which ends any number.
scan_counts scan_finish(scan_state& state);

// For a report read in parts side by side. count_cell_openers counts the cell
// openers that begin at 0..n-3, which tells the part after where it stands
// in the nine-cell cycle (scan_start_at_cell). scan_overhang takes the bytes
// that follow a part (at least two, unless the report ends sooner) to finish
// the openers begun in its last bytes and a number it cut off, without
// counting any opener that begins in them; it returns false while that
// number runs on through all of them.
std::uint64_t count_cell_openers(const unsigned char* bytes, std::size_t n);
void scan_start_at_cell(scan_state& state, std::uint64_t cells_before);
bool scan_overhang(scan_state& state, const unsigned char* bytes, std::size_t n);

// The ways to scan: byte by byte, and vector kernels that find the openers 64
// bytes at a time (x86-64: SSE2, AVX2, AVX-512; 64-bit ARM: NEON). The
// fastest that the processor runs is chosen at start-up.
enum class scan_kernel { plain, sse2, avx2, avx512, neon };
// Every kernel this build has, slowest first, for whatever must try them all
// (tests, benchmarks, fuzzing); those the processor lacks are refused below.
extern const std::span<const scan_kernel> every_scan_kernel;
scan_kernel active_scan_kernel();
bool scan_kernel_supported(scan_kernel kernel);
// For tests and benchmarks; a kernel the processor lacks is refused (false).
bool use_scan_kernel(scan_kernel kernel);
const char* scan_kernel_name(scan_kernel kernel);
