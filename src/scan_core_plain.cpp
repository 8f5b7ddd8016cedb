// The portable kernel: the opener scan one position at a time, numbers read
// eight digits to a 64-bit word.
#define SCAN_ISA scan_plain
#include "scan_blocks.hpp"
#include "scan_kernels.hpp"

namespace scan_plain {
namespace {

struct plain_isa {
    static bool fifteen_digits(const unsigned char* at, std::uint64_t& value, std::size_t& length) {
        return fifteen_digits_in_words(at, value, length);
    }
};

}  // namespace
}  // namespace scan_plain

const kernel_functions plain_kernel{scan_plain::scan_positions<scan_plain::plain_isa>, scan_plain::list_positions,
                                    scan_plain::scan_listed_positions<scan_plain::plain_isa>};
