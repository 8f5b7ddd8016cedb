// The platform layer on POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include "platform.hpp"

namespace platform {
namespace {

// ---- interrupts ------------------------------------------------------------
// What an interrupt has to undo: the temporary summary and the terminal mode of
// the pause. Both live in plain static storage so the handler can reach them.
char temporary_summary[64];
volatile std::sig_atomic_t have_temporary_summary = 0;
termios saved_terminal;
volatile std::sig_atomic_t terminal_changed = 0;

void on_interrupt(int signal_number) {
    if (have_temporary_summary) unlink(temporary_summary);
    if (terminal_changed) tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

// ---- report search -----------------------------------------------------------
// The matching names, listed once when the search starts and sorted by bytes.
// They sit end to end in one block, each after a byte with its type as the
// listing gave it, so a folder of many reports costs little.
std::vector<char> listed_names;
std::vector<std::uint32_t> listed_offsets;
std::size_t next_listed = 0;

bool matches_report_pattern(const char* name) {
    for (const char* p = name; p[0] != '\0'; ++p) {
        if (p[0] == '.' && (p[1] | 0x20) == 'h' && (p[2] | 0x20) == 't' && (p[3] | 0x20) == 'm') return true;
    }
    return false;
}

// What the listing knew of an entry's type, kept in its attributes. Most file
// systems tell a regular file from the listing alone, which saves a lookup.
constexpr std::uint32_t type_unknown = 0, type_regular = 1, type_other = 2;

std::uint32_t type_from_listing(unsigned char d_type) {
    switch (d_type) {
        case DT_REG:
            return type_regular;
        case DT_UNKNOWN:
        case DT_LNK:
            return type_unknown;  // a link is judged by what it points to
        default:
            return type_other;
    }
}

bool yield_listed(report_entry& entry) {
    while (next_listed < listed_offsets.size()) {
        const char* listed = listed_names.data() + listed_offsets[next_listed++];
        const char* name = listed + 1;
        const std::size_t length = std::strlen(name);
        if (length >= sizeof entry.name) {
            report_failure("cannot read '%s': %s", name, std::strerror(ENAMETOOLONG));
            continue;
        }
        entry = report_entry{};
        std::memcpy(entry.name, name, length + 1);
        entry.attributes = static_cast<unsigned char>(listed[0]);
        return true;
    }
    return false;
}

}  // namespace

void prepare_run() {
    // A reader that goes away must not kill the run before its summary is
    // written: the failed write is reported instead.
    std::signal(SIGPIPE, SIG_IGN);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal_number, on_interrupt);
}

bool error_output_is_terminal() { return isatty(STDERR_FILENO) == 1; }

bool find_first_report(report_entry& entry) {
    listed_names.clear();
    listed_offsets.clear();
    next_listed = 0;
    DIR* directory = opendir(".");
    if (directory == nullptr) {
        report_failure("cannot read the working directory: %s", std::strerror(errno));
        return false;
    }
    errno = 0;
    while (const dirent* item = readdir(directory)) {
        if (!matches_report_pattern(item->d_name)) continue;
        listed_offsets.push_back(static_cast<std::uint32_t>(listed_names.size()));
        listed_names.push_back(static_cast<char>(type_from_listing(item->d_type)));
        listed_names.insert(listed_names.end(), item->d_name, item->d_name + std::strlen(item->d_name) + 1);
    }
    if (errno != 0) report_failure("cannot read the working directory: %s", std::strerror(errno));
    closedir(directory);
    const char* names = listed_names.data();
    std::sort(listed_offsets.begin(), listed_offsets.end(),
              [names](std::uint32_t a, std::uint32_t b) { return std::strcmp(names + a + 1, names + b + 1) < 0; });
    return yield_listed(entry);
}

bool find_next_report(report_entry& entry) { return yield_listed(entry); }

void close_report_search() {
    std::vector<char>().swap(listed_names);
    std::vector<std::uint32_t>().swap(listed_offsets);
    next_listed = 0;
}

bool working_directory(std::string& path, const char*& reason) {
    path.assign(256, '\0');
    while (getcwd(path.data(), path.size()) == nullptr) {
        if (errno != ERANGE) {
            reason = std::strerror(errno);
            path.clear();
            return false;
        }
        path.assign(path.size() * 2, '\0');
    }
    path.resize(std::strlen(path.c_str()));
    return true;
}

report_handle open_report(report_entry& entry, const char*& reason) {
    // What is not a regular file (a FIFO, a device) is never opened; where the
    // listing did not tell, a look first. The open itself does not block, and
    // the file opened is checked again in case the entry changed in between.
    struct stat info;
    if (entry.attributes == type_unknown) {
        if (stat(entry.name, &info) != 0) {
            reason = std::strerror(errno);
            return no_report;
        }
        entry.attributes = S_ISREG(info.st_mode) ? type_regular : type_other;
    }
    if (entry.attributes != type_regular) {
        reason = "not a regular file";
        return no_report;
    }
    const int fd = open(entry.name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        reason = std::strerror(errno);
        return no_report;
    }
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        reason = "not a regular file";
        close(fd);
        return no_report;
    }
    entry.size = static_cast<std::uint64_t>(info.st_size);
    return fd;
}

long long read_report(report_handle report, unsigned char* buffer, std::size_t capacity, const char*& reason) {
    for (;;) {
        const ssize_t got = read(static_cast<int>(report), buffer, capacity);
        if (got >= 0) return got;
        if (errno != EINTR) {
            reason = std::strerror(errno);
            return -1;
        }
    }
}

void close_report(report_handle report) { close(static_cast<int>(report)); }

std::FILE* create_summary(const char*& reason) {
    // O_EXCL under a fresh name; the mode gives an ordinary new file's
    // permissions. The name never holds ".htm", so no search takes it for a report.
    for (unsigned attempt = 0;; ++attempt) {
        std::snprintf(temporary_summary, sizeof temporary_summary, ".traffic-totals-%ld-%u.tmp",
                      static_cast<long>(getpid()), attempt);
        const int fd = open(temporary_summary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            have_temporary_summary = 1;
            std::FILE* summary = fdopen(fd, "w");
            if (summary != nullptr) return summary;
            reason = std::strerror(errno);
            close(fd);
            discard_summary(nullptr);
            return nullptr;
        }
        if (errno != EEXIST || attempt == 1000) {
            reason = std::strerror(errno);
            return nullptr;
        }
    }
}

bool commit_summary(std::FILE* summary, const char* final_name, const char*& reason) {
    errno = 0;
    bool written = std::fflush(summary) == 0 && !std::ferror(summary);
    if (written && fsync(fileno(summary)) != 0) written = false;
    int failure = errno;
    if (std::fclose(summary) != 0 && written) {
        written = false;
        failure = errno;
    }
    if (written && rename(temporary_summary, final_name) != 0) {
        written = false;
        failure = errno;
    }
    if (!written) {
        reason = std::strerror(failure != 0 ? failure : EIO);
        discard_summary(nullptr);
        return false;
    }
    have_temporary_summary = 0;
    // The new directory entry reaches the disk too.
    const int directory = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);
        close(directory);
    }
    return true;
}

void discard_summary(std::FILE* summary) {
    if (summary != nullptr) std::fclose(summary);
    if (have_temporary_summary) unlink(temporary_summary);
    have_temporary_summary = 0;
}

void pause() {
    write_text(console, "Press any key to continue . . . ");
    flush_text(console);
    unsigned char key;
    // Without a terminal take at most one byte unbuffered, so a run fed from a
    // file, /dev/null or a closed pipe never waits.
    if (tcgetattr(STDIN_FILENO, &saved_terminal) == 0) {
        termios raw = saved_terminal;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        terminal_changed = 1;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
        }
        // Drop the rest of a key that sent several bytes (an arrow, say).
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_terminal);
        terminal_changed = 0;
    } else {
        while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
        }
    }
    write_text(console, "\n");
}

}  // namespace platform
