// The run's two output streams, the console and the summary, each written
// through a buffer of its own and remembering its first write failure.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

#include "platform.hpp"
#include "tallies.hpp"

#if defined(__GNUC__)
#define TT_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define TT_PRINTF_FORMAT(f, a)
#endif

// An output stream that remembers its first write failure instead of
// ignoring it; later writes to a failed (or unopened) stream are dropped.
// It is written when its buffer fills and when it matters (before a message,
// a progress line, the pause and the summary's commit), not at every line.
class text_stream {
public:
    // Standard output, open from the start.
    static text_stream console();
    // The summary, open once created.
    static text_stream summary();
    text_stream(const text_stream&) = delete;
    text_stream& operator=(const text_stream&) = delete;

    void open_summary(platform::summary_handle summary);
    // Closed: nothing more is written, the unwritten bytes are dropped.
    void close();
    bool is_open() const { return open_; }
    platform::summary_handle summary_handle() const { return summary_; }

    void write(const char* format, ...) TT_PRINTF_FORMAT(2, 3);
    // False (and failure set) if anything written so far failed.
    bool flush();
    // The reason of the first failed write; empty while all went well.
    const std::string& failure() const { return failure_; }
    void fail(const std::string& reason);

    // A name or path as this stream shows it: on a terminal no control
    // character reaches it raw.
    std::string shown(std::string_view text) const;

private:
    text_stream(bool is_console, bool open);
    void put(std::string_view text);
    platform::result<> write_out(std::string_view text) const;

    bool is_console_;
    bool terminal_;
    bool open_;
    platform::summary_handle summary_ = platform::no_summary;
    std::string failure_;
    std::size_t used_ = 0;  // bytes waiting in buffer_
    char buffer_[1 << 16];
};

// The run's output: where print_size's output_target points.
struct run_output {
    text_stream console = text_stream::console();
    text_stream summary = text_stream::summary();
    text_stream& operator[](output_target target) { return target == console_target ? console : summary; }
};

// The text that a printf format and its arguments give.
std::string formatted(const char* format, std::va_list args);
