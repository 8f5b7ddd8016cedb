// The platform layer on Windows. Names stay UTF-16 from the search to the
// open: the program's text holds them as UTF-8 (a lone surrogate as its
// three-byte form), which converts back to the very same UTF-16, and no name
// ever passes through the ANSI code page on its way to the file system.
#include <conio.h>
#include <io.h>
#include <process.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform.hpp"
#include "text_encoding.hpp"

namespace platform {
namespace {

// ---- text ------------------------------------------------------------------

std::u16string units_of(const wchar_t* wide, std::size_t count) { return std::u16string(wide, wide + count); }
std::wstring wide_of(std::u16string_view units) { return std::wstring(units.begin(), units.end()); }
std::string text_from_wide(const wchar_t* wide, std::size_t count) { return text_from_utf16(units_of(wide, count)); }
std::wstring wide_from_text(std::string_view text) { return wide_of(utf16_from_text(text)); }

// Text with Windows' line ends, CR LF, as a text-mode stream writes them.
std::string with_crlf(std::string_view text) {
    std::string lines;
    lines.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n') lines += '\r';
        lines += c;
    }
    return lines;
}

// Text for a file or a pipe: the ANSI code page, one "?" for each character it
// lacks and never a look-alike; plain UTF-8 where that is the ANSI code page.
std::string ansi_from_text(std::string_view text) {
    const UINT code_page = GetACP();
    std::string bytes;
    bytes.reserve(text.size());
    for_each_utf16_character(utf16_from_text(text), [&](std::u16string_view character) {
        if (character[0] < 0x80) {
            bytes += static_cast<char>(character[0]);
            return;
        }
        const std::wstring wide = wide_of(character);
        const wchar_t* at = wide.data();
        const std::size_t length = wide.size();
        const bool lone_surrogate = length == 1 && at[0] >= 0xD800 && at[0] <= 0xDFFF;
        char converted[8];
        BOOL used_default = FALSE;
        const int got = lone_surrogate ? 0
                        : code_page == CP_UTF8
                            ? WideCharToMultiByte(CP_UTF8, 0, at, static_cast<int>(length), converted, sizeof converted,
                                                  nullptr, nullptr)
                            : WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, at, static_cast<int>(length),
                                                  converted, sizeof converted, nullptr, &used_default);
        if (got <= 0 || used_default)
            bytes += '?';
        else
            bytes.append(converted, static_cast<std::size_t>(got));
    });
    return bytes;
}

// The text of a Windows error, without the line end and full stop Windows puts after it.
std::string error_text(DWORD error) {
    wchar_t text[512];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                                  sizeof text / sizeof text[0], nullptr);
    if (length == 0) return "error " + std::to_string(error);
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' || text[length - 1] == L'.')) --length;
    return text_from_wide(text, length);
}

failure failure_of(DWORD error) { return {error_text(error), error == ERROR_TOO_MANY_OPEN_FILES}; }
failure last_failure() { return failure_of(GetLastError()); }

// Writes all of data, at most `most` units a call, through write_some (a
// Windows write call: false on failure). A piece of UTF-16 never ends between
// the two halves of a surrogate pair.
template <typename Unit, typename WriteSome>
result<> write_all(const std::basic_string<Unit>& data, std::size_t most, WriteSome write_some) {
    for (std::size_t done = 0; done < data.size();) {
        DWORD written = 0;
        auto chunk = static_cast<DWORD>(std::min(data.size() - done, most));
        if constexpr (sizeof(Unit) == 2) {
            const auto last = static_cast<unsigned>(data[done + chunk - 1]);
            if (chunk > 1 && done + chunk < data.size() && last >= 0xD800 && last <= 0xDBFF) --chunk;
        }
        if (!write_some(data.data() + done, chunk, &written)) return last_failure();
        if (written == 0) return failure_of(ERROR_WRITE_FAULT);
        done += written;
    }
    return succeeded();
}

// ---- paths -----------------------------------------------------------------

// The working directory, or empty with the reason in error.
std::wstring current_directory(DWORD& error) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(path.size()), path.data());
        if (length == 0) {
            error = GetLastError();
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.assign(length, L'\0');  // too small: length is the size it needs
    }
}

// A name in the working directory as the file calls take it: the \\?\ form
// of its absolute path, which Windows takes as it stands. So a name that ends
// in a space or a dot, or that is also a device's (con.htm, nul.htm), is the
// very file the search found, and no path length limit applies.
std::wstring file_path(const std::wstring& name) {
    DWORD ignored = 0;
    std::wstring folder = current_directory(ignored);
    if (folder.empty()) return name;
    if (folder.back() != L'\\') folder += L'\\';
    if (folder.rfind(L"\\\\?\\", 0) == 0) return folder + name;
    if (folder.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + folder.substr(2) + name;
    return L"\\\\?\\" + folder + name;
}

// ---- interrupts ------------------------------------------------------------
// What a console interrupt or a closed console window has to undo.
wchar_t temporary_summary[1 << 15];
volatile LONG have_temporary_summary = 0;

BOOL WINAPI on_console_event(DWORD) {
    if (have_temporary_summary) DeleteFileW(temporary_summary);
    return FALSE;  // and let the default handler end the process
}

// ---- report search ---------------------------------------------------------
// The matches, listed once when the search starts, in the system's order, so
// that a failure while listing is known and said at the start. Their names
// sit end to end in one block, so a folder of many reports costs little.
struct listed_report {
    DWORD attributes;
    std::uint64_t size;
    std::int64_t creation_time, access_time, write_time;
    std::size_t name_at, name_length;
};
std::vector<listed_report> listed;
std::wstring listed_names;
std::size_t next_listed = 0;
// Whether the folder searched is on a network drive, asked once a run.
bool folder_is_remote = false;

// Seconds since 1970, as the C library's search gave them.
std::int64_t seconds_of(const FILETIME& time) {
    const auto ticks = static_cast<std::int64_t>((std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime);
    return (ticks - 116444736000000000) / 10000000;
}

void note_found(const WIN32_FIND_DATAW& found) {
    const std::size_t length = std::wcslen(found.cFileName);
    // A folder named like a report has no size of its own to show.
    const bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    listed.push_back({found.dwFileAttributes,
                      folder ? 0 : (std::uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow,
                      seconds_of(found.ftCreationTime), seconds_of(found.ftLastAccessTime),
                      seconds_of(found.ftLastWriteTime), listed_names.size(), length});
    listed_names.append(found.cFileName, length);
}

HANDLE standard_handle(standard_stream stream) {
    return GetStdHandle(stream == standard_stream::output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

}  // namespace

void prepare_run() { SetConsoleCtrlHandler(on_console_event, TRUE); }

bool is_terminal(standard_stream stream) {
    DWORD mode = 0;
    return GetConsoleMode(standard_handle(stream), &mode) != 0;
}

std::size_t terminal_columns(standard_stream stream) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(standard_handle(stream), &info)) return 80;
    const int width = info.srWindow.Right - info.srWindow.Left + 1;
    return width > 0 ? static_cast<std::size_t>(width) : 80;
}

result<> write_standard(standard_stream stream, std::string_view text) {
    const HANDLE handle = standard_handle(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return failure_of(ERROR_INVALID_HANDLE);
    const std::string lines = with_crlf(text);
    // A console takes UTF-16, so every name shows as itself whatever its code
    // page; a file or a pipe gets the ANSI code page.
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode))
        return write_all(wide_from_text(lines), 1u << 14, [handle](const wchar_t* at, DWORD n, DWORD* written) {
            return WriteConsoleW(handle, at, n, written, nullptr);
        });
    return write_all(ansi_from_text(lines), 1u << 20, [handle](const char* at, DWORD n, DWORD* written) {
        return WriteFile(handle, at, n, written, nullptr);
    });
}

namespace {
// A share's client may answer from caches of its own: Microsoft documents
// one for file details (FileInfoCacheLifetime, 10 s by default), and not
// whether a look through an open handle bypasses it.
bool is_remote_folder() {
    DWORD ignored = 0;
    const std::wstring folder = current_directory(ignored);
    std::wstring root(folder.size() + 2, L'\0');
    if (folder.empty() || !GetVolumePathNameW(folder.c_str(), root.data(), static_cast<DWORD>(root.size())))
        return false;
    return GetDriveTypeW(root.c_str()) == DRIVE_REMOTE;
}
}  // namespace

result<> start_report_search() {
    close_report_search();
    folder_is_remote = is_remote_folder();
    WIN32_FIND_DATAW found;
    const HANDLE search =
        FindFirstFileExW(L"*.htm*", FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    // Only "no file matched" is a folder without reports; a folder that is
    // gone or cannot be read is a failure, said in Windows' words.
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? succeeded() : result<>(last_failure());
    do note_found(found);
    while (FindNextFileW(search, &found));
    const DWORD error = GetLastError();
    FindClose(search);
    return error == ERROR_NO_MORE_FILES ? succeeded() : result<>(failure_of(error));
}

std::optional<report_entry> next_report() {
    if (next_listed == listed.size()) return std::nullopt;
    const listed_report& found = listed[next_listed++];
    report_entry entry{};
    entry.attributes = found.attributes;
    // A link (another reparse point) counts as what it points to: the open tells.
    entry.kind = (found.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0       ? entry_kind::folder
                 : (found.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? entry_kind::not_known
                                                                          : entry_kind::regular_file;
    entry.creation_time = found.creation_time;
    entry.access_time = found.access_time;
    entry.write_time = found.write_time;
    entry.size = found.size;
    // A name has at most 255 units: 765 bytes of text, 255 of Windows-1251.
    const std::u16string name = units_of(listed_names.data() + found.name_at, found.name_length);
    text_from_utf16(name).copy(entry.name, sizeof entry.name - 1);
    windows_1251_from_utf16(name).copy(entry.summary_text, sizeof entry.summary_text - 1);
    return entry;
}

void close_report_search() {
    std::vector<listed_report>().swap(listed);
    std::wstring().swap(listed_names);
    next_listed = 0;
}

result<folder_path> working_directory() {
    DWORD error = 0;
    const std::wstring folder = current_directory(error);
    if (folder.empty()) return failure_of(error);
    const std::u16string units = units_of(folder.data(), folder.size());
    return folder_path{text_from_utf16(units), windows_1251_from_utf16(units)};
}

std::size_t name_units(std::string_view name) { return utf16_from_text(name).size(); }

namespace {
HANDLE file_of(report_handle report) { return reinterpret_cast<HANDLE>(report); }

const failure not_regular{"not a regular file"};

// Windows counts 100-nanosecond ticks from 1601; the program, nanoseconds from 1970.
std::int64_t nanoseconds_from_ticks(std::int64_t ticks) {
    constexpr std::int64_t ticks_from_1601_to_1970 = 116444736000000000;
    return (ticks - ticks_from_1601_to_1970) * 100;
}

// The system's clock at its own tick (about 16 ms at most), which Windows 7
// has too: ample for telling whether a report changed in the two seconds
// before its open.
std::int64_t clock_now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return nanoseconds_from_ticks(
        static_cast<std::int64_t>((std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime));
}

// The size and the times of an open file; anything but a file on a disk is
// not a regular file.
result<report_version> version_of_file(HANDLE file) {
    FILE_BASIC_INFO basic;
    LARGE_INTEGER size;
    if (GetFileType(file) != FILE_TYPE_DISK) return not_regular;
    if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) || !GetFileSizeEx(file, &size))
        return last_failure();
    if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return not_regular;
    return report_version{static_cast<std::uint64_t>(size.QuadPart),
                          nanoseconds_from_ticks(basic.LastWriteTime.QuadPart),
                          nanoseconds_from_ticks(basic.ChangeTime.QuadPart)};
}
}  // namespace

result<opened_report> open_report(const report_entry& entry) {
    if (entry.kind == entry_kind::folder) return not_regular;
    // Shared with every other use, so that only a program that shares nothing
    // (a sharing violation, said as such) keeps a report from being read.
    const HANDLE file = CreateFileW(file_path(wide_from_text(entry.name)).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return last_failure();
    const result<report_version> version = version_of_file(file);
    if (!version) {
        CloseHandle(file);
        return not_regular;
    }
    return opened_report{reinterpret_cast<report_handle>(file), *version, clock_now(), folder_is_remote};
}

// The size the search found; a folder has none.
std::uint64_t unreadable_report_size(const report_entry& entry) { return entry.size; }

void close_report(report_handle report) { CloseHandle(file_of(report)); }

// Windows takes its hint at the open (FILE_FLAG_SEQUENTIAL_SCAN), for every
// report or none; its read-ahead serves without it.
void expect_reading_through(report_handle) {}

std::vector<result<opened_report>> open_reports(std::span<const report_entry* const> entries) {
    std::vector<result<opened_report>> opened;
    opened.reserve(entries.size());
    for (const report_entry* entry : entries) opened.push_back(open_report(*entry));
    return opened;
}

std::vector<result<std::size_t>> read_report_starts(std::span<const start_read> reads) {
    std::vector<result<std::size_t>> got;
    got.reserve(reads.size());
    for (const start_read& read : reads) got.push_back(read_report_at(read.report, read.buffer, read.capacity, 0));
    return got;
}

std::vector<result<report_version>> look_and_close_reports(std::span<const opened_report> reports) {
    std::vector<result<report_version>> versions;
    versions.reserve(reports.size());
    for (const opened_report& report : reports) {
        versions.push_back(version_of_report(report));
        close_report(report.handle);
    }
    return versions;
}

std::size_t files_of_a_batch_reader() { return 0; }

result<std::size_t> read_report_at(report_handle report, unsigned char* buffer, std::size_t capacity,
                                   std::uint64_t offset) {
    // A read with an offset of its own, so that threads never share a file position.
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    const DWORD wanted = capacity < (1u << 30) ? static_cast<DWORD>(capacity) : (1u << 30);
    if (ReadFile(file_of(report), buffer, wanted, &got, &at)) return std::size_t{got};
    if (GetLastError() == ERROR_HANDLE_EOF) return std::size_t{0};
    return last_failure();
}

result<report_version> version_of_report(const opened_report& report) {
    return version_of_file(file_of(report.handle));
}

// The cache manager keeps a file's bytes from a share only while the client
// holds a lease on them, which the server breaks before another client
// writes; what the second reading needs is there already.
void forget_cached_bytes(const opened_report&) {}

// Handles are limited only by memory.
std::size_t open_files_allowed() { return SIZE_MAX; }
std::size_t open_files_now() { return 0; }

unsigned processors() {
    DWORD_PTR process_mask = 0, system_mask = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) && process_mask != 0)
        return static_cast<unsigned>(__builtin_popcountll(process_mask));
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1;
}

namespace {
// Refusals that another program's open causes for a moment: a virus scanner,
// the search indexer or a sync client that opened the file just then.
bool refused_for_a_moment(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// Takes a step until it is done or fails for good; a refusal for a moment is
// met again after growing waits, for about two seconds in all.
template <typename Step>
DWORD with_patience(Step step) {
    DWORD waited = 0;
    for (DWORD wait = 1;; wait = std::min<DWORD>(2 * wait, 250)) {
        const DWORD error = step();
        if (error == ERROR_SUCCESS || !refused_for_a_moment(error) || waited >= 2000) return error;
        Sleep(wait);
        waited += wait;
    }
}

DWORD set_information(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, void* information, std::size_t size) {
    return SetFileInformationByHandle(file, kind, information, static_cast<DWORD>(size)) ? ERROR_SUCCESS
                                                                                         : GetLastError();
}

// Moves the open file over `target`, replacing a file of that name. Windows
// 10 1607 and later replace it in one step even while others have it open
// sharing delete (FileRenameInfoEx, POSIX semantics); older systems, and file
// systems that refuse that, take the plain rename through the handle.
DWORD move_over(HANDLE file, const std::wstring& target) {
    const std::size_t name_bytes = (target.size() + 1) * sizeof(wchar_t);
    std::vector<unsigned char> buffer(offsetof(FILE_RENAME_INFO, FileName) + name_bytes);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, target.c_str(), name_bytes);
    // The flags share their place with ReplaceIfExists, which older headers alone know.
    const DWORD flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
    std::memcpy(buffer.data(), &flags, sizeof flags);
    // FileRenameInfoEx, which the headers for Windows 7 leave out.
    constexpr auto rename_info_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
    const DWORD error = set_information(file, rename_info_ex, buffer.data(), buffer.size());
    if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION &&
        error != ERROR_CALL_NOT_IMPLEMENTED)
        return error;
    std::memset(buffer.data(), 0, sizeof flags);
    rename->ReplaceIfExists = TRUE;
    return set_information(file, FileRenameInfo, buffer.data(), buffer.size());
}
}  // namespace

result<summary_handle> create_summary() {
    // A fresh name that never holds ".htm", so no search takes it for a report,
    // and hidden while it is written, as the leading dot hides it elsewhere.
    // Held with the right to delete it from its creation until it is in place:
    // no other program can open it then without sharing its deletion, so none
    // can keep it from being moved or removed. Shared for deletion, so that
    // the console handler can remove it while it is open.
    for (unsigned attempt = 0;; ++attempt) {
        const std::wstring path =
            file_path(L".traffic-totals-" + std::to_wstring(_getpid()) + L"-" + std::to_wstring(attempt) + L".tmp");
        if (path.size() >= sizeof temporary_summary / sizeof temporary_summary[0])
            return failure_of(ERROR_FILENAME_EXCED_RANGE);
        path.copy(temporary_summary, path.size());
        temporary_summary[path.size()] = L'\0';
        const HANDLE file = CreateFileW(temporary_summary, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                        nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            have_temporary_summary = 1;
            return reinterpret_cast<summary_handle>(file);
        }
        if (GetLastError() != ERROR_FILE_EXISTS || attempt == 1000) return last_failure();
    }
}

result<> write_summary(summary_handle summary, std::string_view text) {
    const std::string lines = with_crlf(text);
    const HANDLE file = reinterpret_cast<HANDLE>(summary);
    return write_all(lines, 1u << 20, [file](const char* at, DWORD n, DWORD* written) {
        return WriteFile(file, at, n, written, nullptr);
    });
}

// Everything through the summary's own handle, which stays open until the
// summary is in place or gone: flushed, made an ordinary file (it was hidden
// while it was written), and moved over the earlier summary.
result<> commit_summary(summary_handle summary, std::string_view final_name) {
    const HANDLE file = reinterpret_cast<HANDLE>(summary);
    DWORD error = FlushFileBuffers(file) ? ERROR_SUCCESS : GetLastError();
    FILE_BASIC_INFO ordinary{};  // times of 0 are left as they are
    ordinary.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (error == ERROR_SUCCESS)
        error = with_patience([&] { return set_information(file, FileBasicInfo, &ordinary, sizeof ordinary); });
    const std::wstring target = file_path(wide_from_text(final_name));
    if (error == ERROR_SUCCESS) error = with_patience([&] { return move_over(file, target); });
    if (error != ERROR_SUCCESS) {
        discard_summary(summary);
        return failure_of(error);
    }
    have_temporary_summary = 0;
    CloseHandle(file);
    return succeeded();
}

// Deleted through its own handle, which marks it for deletion at once; by
// name only where that is refused.
void discard_summary(summary_handle summary) {
    if (summary != no_summary) {
        const HANDLE file = reinterpret_cast<HANDLE>(summary);
        FILE_DISPOSITION_INFO gone{TRUE};
        const DWORD error =
            with_patience([&] { return set_information(file, FileDispositionInfo, &gone, sizeof gone); });
        CloseHandle(file);
        if (error == ERROR_SUCCESS) have_temporary_summary = 0;
    }
    if (have_temporary_summary)
        with_patience([] { return DeleteFileW(temporary_summary) ? ERROR_SUCCESS : GetLastError(); });
    have_temporary_summary = 0;
}

namespace {
// The command processor's own prompt, without the user's AutoRun commands
// (/d), which could clear the window before the totals are read. False where
// it cannot be started.
bool command_processor_pause() {
    wchar_t comspec[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"COMSPEC", comspec, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    std::wstring command = L"\"" + std::wstring(comspec, length) + L"\" /d /c pause";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(comspec, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return false;
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}
}  // namespace

result<> pause() {
    // On a console the command processor prompts and waits, as users know it;
    // where it cannot be run, the program does the same itself, so a window
    // opened by a double-click never closes unread. Any other input (a file,
    // NUL, a pipe) has no key to wait for.
    constexpr std::string_view prompt = "Press any key to continue . . . ";
    DWORD mode = 0;
    const bool console = GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
    if (console && command_processor_pause()) return succeeded();
    result<> written = write_standard(standard_stream::output, prompt);
    if (console) _getwch();
    if (written) written = write_standard(standard_stream::output, "\n");
    return written;
}

}  // namespace platform
