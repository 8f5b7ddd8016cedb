// Everything that differs between operating systems. The rest of the program
// sees only these functions and never asks which system it runs on. Text that
// crosses here is the program's own: UTF-8, or on POSIX systems a name's bytes
// as the system gives them. Every failure comes back as a value: a result
// holding either what the call gives or the reason it failed, in words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "tallies.hpp"

namespace platform {

// What every call that can fail gives back: its value, or the reason it
// failed, in words. result<> has no value beyond success. A failure for want
// of file descriptors (the process's limit, or the system's) says so apart:
// the same call may serve once fewer files are open.
struct failure {
    std::string reason;
    bool too_many_open_files = false;
};
template <typename Value = std::monostate>
class result {
public:
    result(Value value) : value_(std::move(value)) {}  // NOLINT: a value is a success
    result(failure failed)                             // NOLINT: and a failure one
        : reason_(std::move(failed.reason)), failed_(true), too_many_open_files_(failed.too_many_open_files) {}
    explicit operator bool() const { return !failed_; }
    const Value& operator*() const { return value_; }
    const Value* operator->() const { return &value_; }
    const std::string& reason() const { return reason_; }
    bool too_many_open_files() const { return too_many_open_files_; }

private:
    Value value_{};
    std::string reason_;
    bool failed_ = false;
    bool too_many_open_files_ = false;
};
inline result<> succeeded() { return std::monostate{}; }

// Set-up before anything is opened or printed: the handling of the signals
// that end a run, and of broken pipes.
void prepare_run();

// Standard output and standard error: whether one is a terminal, and the
// writing of text to it, converted to what it expects.
enum class standard_stream { output, error };
bool is_terminal(standard_stream stream);
// The width of the terminal on that stream, 80 when it cannot be told.
std::size_t terminal_columns(standard_stream stream);
result<> write_standard(standard_stream stream, std::string_view text);

// The report search over the current working directory, pattern "*.htm*".
// start_report_search fails when the folder could not be read (the names it
// could read are still yielded); next_report gives the matches one by one,
// and nothing at the end.
result<> start_report_search();
std::optional<report_entry> next_report();
void close_report_search();

// The absolute path of the current working directory, of any length, as text
// and as the summary writes it.
struct folder_path {
    std::string text;
    std::string summary_text;
};
result<folder_path> working_directory();

// How long a name is in the file system's own units (bytes, or UTF-16 units).
std::size_t name_units(std::string_view name);

// Reports are read raw, in binary mode. open_report takes an entry that the
// search yielded and refuses anything that is not a regular file. It gives
// the file's version, which tells one state of the file from another: a
// report whose version differs after the read changed while it was read; its
// size is the size read to. Times are nanoseconds since 1970, as fine as the
// file system keeps them; opened_at is the system's clock at the open, on
// the same scale, so that a version can tell how recently it came to be.
// A report that cannot be opened still shows a
// size: unreadable_report_size gives the size the search or a look found for
// a regular file, and 0 for anything else. read_report_at gives the bytes
// read at an offset, 0 at the end of the file; several threads may call it at
// once on one report.
using report_handle = std::intptr_t;
struct report_version {
    std::uint64_t size;
    std::int64_t modified;
    std::int64_t changed;  // the last change of the contents or of the file's details
    bool operator==(const report_version&) const = default;
};
// A report behind a cache (on a network share, or a file system in user
// space) may show details and bytes that a cache kept from before another
// machine's or program's write: its looks ask the file system itself, each of
// its readings starts from bytes fetched afresh, and it is read twice.
struct opened_report {
    report_handle handle;
    report_version version;
    std::int64_t opened_at;
    bool behind_a_cache = false;
};
result<opened_report> open_report(const report_entry& entry);
std::uint64_t unreadable_report_size(const report_entry& entry);
result<std::size_t> read_report_at(report_handle report, unsigned char* buffer, std::size_t capacity,
                                   std::uint64_t offset);
result<report_version> version_of_report(const opened_report& report);
// Drops what the system keeps of a report behind a cache, so that the next
// reading fetches its bytes afresh; nothing for any other.
void forget_cached_bytes(const opened_report& report);
void close_report(report_handle report);
// A hint that a large report is about to be read through from its start, so
// that the system reads further ahead of it; nothing where there is none.
void expect_reading_through(report_handle report);

// Many reports at once, for a thread that reads them: each entry opened as
// open_report opens it, the start of each report read as read_report_at
// reads it at offset 0, each report looked at once more (its version, as
// version_of_report gives it) and closed. Where the system allows it
// (io_uring on Linux), each step is one system call for all of them, through
// a ring of requests of the calling thread's own, made at its first batch of
// more than one; elsewhere, or where the ring cannot serve, they are the
// calls above, one after another. Results come in the order asked.
std::vector<result<opened_report>> open_reports(std::span<const report_entry* const> entries);
struct start_read {
    report_handle report;
    unsigned char* buffer;
    std::size_t capacity;
};
std::vector<result<std::size_t>> read_report_starts(std::span<const start_read> reads);
// Each report looked at (its version now), then all of them closed.
std::vector<result<report_version>> look_and_close_reports(std::span<const opened_report> reports);
// Files that a thread reading batches keeps open for itself besides its
// reports (its ring), once it has read a batch of more than one.
std::size_t files_of_a_batch_reader();

// The summary is written to a temporary file in the working directory, and
// only a complete one replaces the file of the final name. A signal that ends
// the run before that removes the temporary file. write_summary writes each
// line feed as the system's text line end.
using summary_handle = std::intptr_t;
inline constexpr summary_handle no_summary = -1;
result<summary_handle> create_summary();
result<> write_summary(summary_handle summary, std::string_view text);
// Flushes the summary to disk, puts it in place under final_name and closes it;
// when that fails, the temporary file is removed.
result<> commit_summary(summary_handle summary, std::string_view final_name);
// Closes and removes an unfinished summary; an earlier file of the final name stays.
void discard_summary(summary_handle summary);

// How many threads may read reports at once: the processors this process may use.
unsigned processors();
// How many files this process may hold open at once, and how many it holds
// now (those the caller left open to it included).
std::size_t open_files_allowed();
std::size_t open_files_now();

// The prompt at the end of the run, waiting for a key press on a terminal (a
// console); with any other standard input it is shown and nothing is read.
// Standard output must be flushed first. Fails when the prompt could not be
// written.
result<> pause();

}  // namespace platform
