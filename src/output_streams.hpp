// The run's two output streams, the console and the summary, each written
// through a buffer of its own and remembering its first write failure.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// An output stream that remembers its first write failure instead of
// ignoring it; later writes to a failed (or unopened) stream are dropped.
// Both streams are written through a buffer of the program's own: the
// console to standard output, the summary to the file the platform made.
struct text_stream {
    bool is_console;
    bool open;              // the console always; the summary once created
    std::intptr_t summary;  // the summary's platform handle
    std::string failure;    // the reason of the first failed write; empty while all went well
    std::size_t used;       // bytes waiting in buffer
    char buffer[1 << 16];
};
extern text_stream console;
extern text_stream summary_file;

#if defined(__GNUC__)
#define TT_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define TT_PRINTF_FORMAT(f, a)
#endif

void write_text(text_stream& stream, const char* format, ...) TT_PRINTF_FORMAT(2, 3);
// Flushes the stream; false (and failure set) if anything written so far failed.
bool flush_text(text_stream& stream);
// The text that a printf format and its arguments give.
std::string formatted(const char* format, std::va_list args);

// A name or path as standard output shows it: on a terminal no control
// character reaches it raw.
std::string shown_on_console(std::string_view text);
