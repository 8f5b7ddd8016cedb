// The fault library (fault_shim.c) preloaded into the program, with the
// faults that `settings` name.
#pragma once

#include <string>
#include <vector>

inline std::vector<std::string> with_fault_shim(std::vector<std::string> settings) {
    settings.push_back(std::string("LD_PRELOAD=") + TRAFFIC_TOTALS_FAULT_SHIM);
    // AddressSanitizer's runtime wants to come first; the library only stands before it.
    settings.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    return settings;
}

#define SKIP_WITHOUT_FAULT_SHIM() \
    if (!TRAFFIC_TOTALS_SHIM_WORKS) GTEST_SKIP() << "the sanitizer's runtime, or the emulator, takes the calls first"
