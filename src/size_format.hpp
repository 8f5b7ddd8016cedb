// A byte count as a human-readable size: "%10.3f %s\n" in bytes, KB, MB or GB.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tallies.hpp"

// Writes the formatted line into text (at least 64 bytes) and returns its length.
int format_size(std::uint64_t count, char* text, std::size_t capacity);
struct run_output;
void print_size(run_output& out, std::uint64_t count, output_target target);
