// The byte scan of a report: bytes in, counts out, fed in pieces of any size.
// It knows nothing of files or consoles.
#pragma once

#include <cstddef>
#include <cstdint>

struct scan_counts {
    std::uint64_t connections;
    std::uint64_t uploads;
    std::uint64_t downloads;
};

enum : std::uint8_t { no_number = 0, upload_number = 1, download_number = 2 };

// Everything the scan carries from one piece to the next.
struct scan_state {
    scan_counts counts;
    std::uint8_t cell_place;    // 0 before the first cell opener, then 1..9
    std::uint8_t prev2, prev1;  // the two bytes before the piece (0 at the start)
    std::uint8_t pending;       // which sum a number still being read belongs to
    std::uint8_t pending_skip;  // bytes to pass before that number's first digit
    std::uint64_t pending_value;
};

void scan_start(scan_state& state);
void scan_piece(scan_state& state, const unsigned char* bytes, std::size_t n);
// The end of the report: bytes past it read as zero, which ends any number.
scan_counts scan_finish(scan_state& state);
