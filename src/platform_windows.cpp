// The platform layer on Windows, over the C runtime's own directory search,
// working directory and command processor.
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform.hpp"

namespace platform {
namespace {

// What a console interrupt or a closed console window has to undo.
char temporary_summary[64];
volatile LONG have_temporary_summary = 0;

BOOL WINAPI on_console_event(DWORD) {
    if (have_temporary_summary) DeleteFileA(temporary_summary);
    return FALSE;  // and let the default handler end the process
}

intptr_t search_handle = -1;
__finddata64_t found;

void fill_entry(report_entry& entry) {
    entry = report_entry{};
    entry.attributes = found.attrib;
    entry.creation_time = found.time_create;
    entry.access_time = found.time_access;
    entry.write_time = found.time_write;
    // A folder named like a report has no size of its own to show.
    entry.size = (found.attrib & _A_SUBDIR) != 0 ? 0 : static_cast<std::uint64_t>(found.size);
    std::memcpy(entry.name, found.name, sizeof entry.name);
    entry.name[sizeof entry.name - 1] = '\0';
}

// The text of the last Windows error, without the line end Windows puts after it.
const char* last_error_text() {
    static char text[256];
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        GetLastError(), 0, text, sizeof text, nullptr);
    if (length == 0) return "unknown error";
    for (DWORD end = length; end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == '.');)
        text[--end] = '\0';
    return text;
}

}  // namespace

void prepare_run() { SetConsoleCtrlHandler(on_console_event, TRUE); }

bool error_output_is_terminal() { return _isatty(_fileno(stderr)) != 0; }

bool find_first_report(report_entry& entry) {
    search_handle = _findfirst64("*.htm*", &found);
    if (search_handle == -1) return false;
    fill_entry(entry);
    return true;
}

bool find_next_report(report_entry& entry) {
    if (search_handle == -1 || _findnext64(search_handle, &found) != 0) return false;
    fill_entry(entry);
    return true;
}

void close_report_search() {
    if (search_handle != -1) _findclose(search_handle);
    search_handle = -1;
}

bool working_directory(std::string& path, const char*& reason) {
    char* current = _getcwd(nullptr, 0);
    if (current == nullptr) {
        reason = std::strerror(errno);
        path.clear();
        return false;
    }
    path = current;
    std::free(current);
    return true;
}

report_handle open_report(report_entry& entry, const char*& reason) {
    if ((entry.attributes & _A_SUBDIR) != 0) {
        reason = "not a regular file";
        return no_report;
    }
    const int fd = _open(entry.name, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) {
        reason = std::strerror(errno);
        return no_report;
    }
    struct _stat64 info;
    if (_fstat64(fd, &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) {
        reason = "not a regular file";
        _close(fd);
        entry.size = 0;
        return no_report;
    }
    entry.size = static_cast<std::uint64_t>(info.st_size);
    return fd;
}

long long read_report(report_handle report, unsigned char* buffer, std::size_t capacity, const char*& reason) {
    const unsigned wanted = capacity < (1u << 30) ? static_cast<unsigned>(capacity) : (1u << 30);
    const int got = _read(static_cast<int>(report), buffer, wanted);
    if (got < 0) reason = std::strerror(errno);
    return got;
}

void close_report(report_handle report) { _close(static_cast<int>(report)); }

std::FILE* create_summary(const char*& reason) {
    // A fresh name that never holds ".htm", so no search takes it for a report.
    // Shared for deletion, so that the console handler can remove it while it
    // is open; text mode, so each line feed is written as CR LF.
    for (unsigned attempt = 0;; ++attempt) {
        std::snprintf(temporary_summary, sizeof temporary_summary, ".traffic-totals-%d-%u.tmp", _getpid(), attempt);
        const HANDLE file = CreateFileA(temporary_summary, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            if (GetLastError() != ERROR_FILE_EXISTS || attempt == 1000) {
                reason = last_error_text();
                return nullptr;
            }
            continue;
        }
        have_temporary_summary = 1;
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_TEXT);
        std::FILE* summary = fd >= 0 ? _fdopen(fd, "w") : nullptr;
        if (summary != nullptr) return summary;
        reason = std::strerror(errno);
        if (fd >= 0)
            _close(fd);
        else
            CloseHandle(file);
        discard_summary(nullptr);
        return nullptr;
    }
}

bool commit_summary(std::FILE* summary, const char* final_name, const char*& reason) {
    errno = 0;
    bool written = std::fflush(summary) == 0 && !std::ferror(summary) && _commit(_fileno(summary)) == 0;
    if (!written) reason = std::strerror(errno != 0 ? errno : EIO);
    if (std::fclose(summary) != 0 && written) {
        written = false;
        reason = std::strerror(errno != 0 ? errno : EIO);
    }
    // rename refuses an existing target here; this replaces it in one step.
    if (written && !MoveFileExA(temporary_summary, final_name, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        written = false;
        reason = last_error_text();
    }
    if (!written) {
        discard_summary(nullptr);
        return false;
    }
    have_temporary_summary = 0;
    return true;
}

void discard_summary(std::FILE* summary) {
    if (summary != nullptr) std::fclose(summary);
    if (have_temporary_summary) _unlink(temporary_summary);
    have_temporary_summary = 0;
}

void pause() {
    // The command processor writes its own prompt straight to the console.
    flush_text(console);
    std::system("pause");
}

}  // namespace platform
