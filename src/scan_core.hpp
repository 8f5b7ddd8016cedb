// The byte scan of a report: bytes in, counts out, fed in pieces of any size.
// It knows nothing of files or consoles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "tallies.hpp"

enum : std::uint8_t { no_number = 0, upload_number = 1, download_number = 2 };

// The place in the nine-cell cycle is the number of cells seen so far, modulo
// nine: 0 before the first cell and after each ninth, 5 just after an
// upload's cell, 6 after a download's. Every other form of it (a count of
// cells, the rank of the next upload's cell in a list) comes from these.
namespace cell_cycle {
inline constexpr unsigned upload_place = 5, download_place = 6;
constexpr unsigned after_cells(std::uint64_t cells) { return static_cast<unsigned>(cells % 9); }
constexpr unsigned next(unsigned place) { return place == 8 ? 0 : place + 1; }
// Among the cells to come, the rank of the next upload's cell (0: the very
// next cell), and the place that puts it at that rank.
constexpr unsigned rank_of_next_upload(unsigned place) { return (9 + upload_place - 1 - place) % 9; }
constexpr unsigned place_before_rank(unsigned rank) { return (9 + upload_place - 1 - rank) % 9; }
static_assert(rank_of_next_upload(upload_place - 1) == 0 && place_before_rank(0) == upload_place - 1);
static_assert(rank_of_next_upload(place_before_rank(8)) == 8 && next(8) == after_cells(9));
}  // namespace cell_cycle

// Everything the scan carries from one piece to the next: the place in the
// nine-cell cycle, the last bytes of the piece (where an opener may begin
// that the next piece completes), and a number cut off by the piece's end.
struct scan_state {
    scan_counts counts;
    std::uint8_t cell_place;   // 0..8, see cell_cycle
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

// For a report read in parts side by side, a part is scanned in two passes.
// list_part lists the cells of the part's blocks into `cells` and returns the
// cell openers that begin at 0..counted_to-3, which tells the part after it
// where it stands in the nine-cell cycle (scan_start_at_cell). Once this
// part's own place is known, scan_listed_part scans it from the lists, as
// scan_piece would scan the same n bytes. scan_overhang takes the bytes that
// follow a part (at least two, unless the report ends sooner) to finish the
// openers begun in its last bytes and a number it cut off, without counting
// any opener that begins in them; it returns false while that number runs on
// through all of them.
struct part_cells {
    static constexpr std::size_t most_bytes = 256 << 10;
    static constexpr std::size_t most_cells_a_block = 22;  // "<td" every third byte, and one more
    static constexpr std::size_t fewest_blocks_a_batch = 16;
    struct batch {
        std::uint32_t start;  // of its bytes
        std::uint32_t first;  // of its offsets, in `offsets`
        std::uint32_t count;
        std::uint32_t rows;
    };
    std::size_t batch_count;
    std::size_t blocks_end;  // where the bytes after the last block start
    batch batches[most_bytes / 64 / fewest_blocks_a_batch + 1];
    std::uint16_t offsets[most_bytes / 64 * most_cells_a_block];  // each batch's cells, from its start
};
std::uint64_t list_part(part_cells& cells, const unsigned char* bytes, std::size_t n, std::size_t counted_to);
void scan_listed_part(scan_state& state, const part_cells& cells, const unsigned char* bytes, std::size_t n);
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
