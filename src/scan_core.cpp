// The scan as a byte-at-a-time state machine.
//
// A row opener is the bytes "<tr", a cell opener "<td"; both are recognised at
// their third byte from the two bytes before it, so nothing ever has to look
// past the end of a piece. Each cell opener moves the place in a nine-cell
// cycle (1..9, then 1 again); the openers landing on place 5 and place 6 start
// a number four bytes after their "<": one byte past the tag name is skipped,
// then decimal digits are read until the first non-digit. A number in progress
// is the only other state, and it can never overlap the next counted opener,
// because the "<" that begins an opener is not a digit.
#include "scan_core.hpp"

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

}  // namespace

void scan_start(scan_state& state) { state = scan_state{}; }

void scan_piece(scan_state& state, const unsigned char* bytes, std::size_t n) {
    scan_state s = state;
    for (std::size_t i = 0; i < n; ++i) step(s, bytes[i]);
    state = s;
}

scan_counts scan_finish(scan_state& state) {
    if (state.pending != no_number) {
        add_number(state.counts, state.pending, state.pending_value);
        state.pending = no_number;
    }
    return state.counts;
}
