// The platform layer on POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform.hpp"
#include "platform_posix_ring.hpp"
#include "text_encoding.hpp"

namespace platform {
namespace {

// ---- signals that end a run -------------------------------------------------
// What such a signal has to undo: the temporary summary and the terminal mode
// of the pause. Both live in plain static storage so the handler can reach them.
char temporary_summary[64];
volatile std::sig_atomic_t have_temporary_summary = 0;
termios saved_terminal;
volatile std::sig_atomic_t terminal_changed = 0;

// Every signal whose default action ends the process.
constexpr int ending_signals[] = {
    SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGIO,
#ifdef SIGPWR
    SIGPWR,
#endif
};

sigset_t ending_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : ending_signals) sigaddset(&set, signal_number);
    return set;
}

// A broken pipe or a file-size limit met by one of the run's own writes is no
// reason to end: the write fails, and the failure is reported. The kernel
// sends those as if from the process itself; the same signal sent by another
// process ends the run like the rest.
bool raised_by_own_write(int signal_number, const siginfo_t* info) {
    return (signal_number == SIGPIPE || signal_number == SIGXFSZ) &&
           (info->si_code > 0 || info->si_pid == getpid() || info->si_pid == 0);
}

// Then the process ends by the same signal, so that its parent sees what it expects.
void on_ending_signal(int signal_number, siginfo_t* info, void*) {
    if (raised_by_own_write(signal_number, info)) return;
    if (have_temporary_summary) unlink(temporary_summary);
    if (terminal_changed) tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

// Holds the ending signals back while the temporary summary comes into being
// or is put in place, so that the handler always knows whether it exists.
class ending_signals_held {
public:
    ending_signals_held() {
        const sigset_t set = ending_signal_set();
        pthread_sigmask(SIG_BLOCK, &set, &before_);
    }
    ~ending_signals_held() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    ending_signals_held(const ending_signals_held&) = delete;
    ending_signals_held& operator=(const ending_signals_held&) = delete;

private:
    sigset_t before_;
};

// ---- report search -----------------------------------------------------------
// The matching names, listed once when the search starts and sorted by bytes.
// They sit end to end in one block, each after a byte with its type as the
// listing gave it, so a folder of many reports costs little.
std::vector<char> listed_names;
// A listed name's first eight bytes as a number whose order is theirs, so
// that most comparisons of the sort are one of numbers.
struct listed_name {
    std::uint64_t head;
    std::uint32_t offset;
};
std::vector<listed_name> listed_offsets;
std::size_t next_listed = 0;

bool matches_report_pattern(const char* name) {
    for (const char* p = name; p[0] != '\0'; ++p) {
        if (p[0] == '.' && (p[1] | 0x20) == 'h' && (p[2] | 0x20) == 't' && (p[3] | 0x20) == 'm') return true;
    }
    return false;
}

// What the listing knew of an entry's type. Most file systems tell a regular
// file from the listing alone, which saves a lookup.
entry_kind kind_from_listing(unsigned char d_type) {
    switch (d_type) {
        case DT_REG:
            return entry_kind::regular_file;
        case DT_DIR:
            return entry_kind::folder;
        case DT_UNKNOWN:
        case DT_LNK:
            return entry_kind::not_known;  // a link is judged by what it points to
        default:
            return entry_kind::other;
    }
}

// The file systems whose details and bytes may come from a cache that
// another machine's or program's write does not reach at once: network
// shares, and file systems in user space (sshfs, bindfs, ntfs-3g), whose
// daemon may answer from caches of its own.
bool is_behind_a_cache(const struct statfs& file_system) {
    constexpr std::uint32_t gfs2 = 0x01161970, orangefs = 0x19830326, lustre = 0x0BD00BD0, gpfs = 0x47504653,
                            vboxsf = 0x786F4256;
    switch (static_cast<std::uint32_t>(file_system.f_type)) {
        case FUSE_SUPER_MAGIC:  // fuse and fuseblk alike
        case NFS_SUPER_MAGIC:
        case SMB_SUPER_MAGIC:
        case CIFS_SUPER_MAGIC:
        case SMB2_SUPER_MAGIC:
        case V9FS_MAGIC:
        case CEPH_SUPER_MAGIC:
        case AFS_SUPER_MAGIC:
        case AFS_FS_MAGIC:
        case CODA_SUPER_MAGIC:
        case NCP_SUPER_MAGIC:
        case OCFS2_SUPER_MAGIC:
        case gfs2:
        case orangefs:
        case lustre:
        case gpfs:
        case vboxsf:
            return true;
        default:
            return false;
    }
}

// The folder searched, asked once a run whether it is behind a cache; a
// report on another device (a link out of the folder) is asked on its own.
struct searched_folder {
    dev_t device = 0;
    bool known = false;
    bool behind_a_cache = false;
};
searched_folder folder;

bool is_behind_a_cache(int fd, const struct stat& info) {
    if (folder.known && info.st_dev == folder.device) return folder.behind_a_cache;
    struct statfs file_system;
    // A file system that cannot say what it is is taken to be behind a cache.
    return fstatfs(fd, &file_system) != 0 || is_behind_a_cache(file_system);
}

failure failure_of(int error_number) {
    return {std::strerror(error_number), error_number == EMFILE || error_number == ENFILE};
}

}  // namespace

void prepare_run() {
    // A standard descriptor that was closed is taken by /dev/null, opened the
    // wrong way round so that any use of it fails: otherwise the first file
    // opened here (the summary, say) would get its number, and console text or
    // messages would land in it.
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int taken = open("/dev/null", (fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) | O_NOCTTY);
        if (taken >= 0 && taken != fd) {
            dup2(taken, fd);
            close(taken);
        }
    }
    // Each reader keeps a batch of reports open at once: a low soft limit on
    // open files, such as a shell may set, is raised as far as the hard one
    // allows, so that no report is refused for it.
    constexpr rlim_t open_files_wanted = 4096;
    struct rlimit open_files {};
    if (getrlimit(RLIMIT_NOFILE, &open_files) == 0 && open_files.rlim_cur < open_files_wanted) {
        open_files.rlim_cur = open_files.rlim_max < open_files_wanted ? open_files.rlim_max : open_files_wanted;
        setrlimit(RLIMIT_NOFILE, &open_files);
    }
    // The signals that end a run clean up first; one that the caller ignores
    // (nohup, trap '' INT, a background job) stays ignored.
    struct sigaction action {};
    action.sa_sigaction = on_ending_signal;
    action.sa_flags = SA_SIGINFO;
    action.sa_mask = ending_signal_set();
    for (const int signal_number : ending_signals) {
        struct sigaction now {};
        if (sigaction(signal_number, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) continue;
        sigaction(signal_number, &action, nullptr);
    }
}

bool is_terminal(standard_stream stream) {
    return isatty(stream == standard_stream::output ? STDOUT_FILENO : STDERR_FILENO) == 1;
}

std::size_t terminal_columns(standard_stream stream) {
    winsize size{};
    if (ioctl(stream == standard_stream::output ? STDOUT_FILENO : STDERR_FILENO, TIOCGWINSZ, &size) != 0 ||
        size.ws_col == 0)
        return 80;
    return size.ws_col;
}

namespace {
result<> write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return failure_of(errno);
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return succeeded();
}
}  // namespace

result<> write_standard(standard_stream stream, std::string_view text) {
    return write_all(stream == standard_stream::output ? STDOUT_FILENO : STDERR_FILENO, text);
}

result<> start_report_search() {
    listed_names.clear();
    listed_offsets.clear();
    next_listed = 0;
    DIR* directory = opendir(".");
    if (directory == nullptr) return failure_of(errno);
    struct stat folder_info;
    struct statfs file_system;
    folder = {};
    if (fstat(dirfd(directory), &folder_info) == 0 && fstatfs(dirfd(directory), &file_system) == 0)
        folder = {folder_info.st_dev, true, is_behind_a_cache(file_system)};
    errno = 0;
    while (const dirent* item = readdir(directory)) {
        if (!matches_report_pattern(item->d_name)) continue;
        const std::size_t length = std::strlen(item->d_name);
        std::uint64_t head = 0;
        for (std::size_t i = 0; i < 8 && i < length; ++i)
            head |= std::uint64_t{static_cast<unsigned char>(item->d_name[i])} << (56 - 8 * i);
        listed_offsets.push_back({head, static_cast<std::uint32_t>(listed_names.size())});
        listed_names.push_back(static_cast<char>(kind_from_listing(item->d_type)));
        listed_names.insert(listed_names.end(), item->d_name, item->d_name + length + 1);
    }
    const int listing_error = errno;
    closedir(directory);
    const char* names = listed_names.data();
    // Byte order, as strcmp gives it. Names alike in their first eight bytes
    // that are shorter than eight are the same name.
    std::sort(listed_offsets.begin(), listed_offsets.end(), [names](const listed_name& a, const listed_name& b) {
        if (a.head != b.head) return a.head < b.head;
        return (a.head & 0xFF) != 0 && std::strcmp(names + a.offset + 9, names + b.offset + 9) < 0;
    });
    if (listing_error != 0) return failure_of(listing_error);
    return succeeded();
}

std::optional<report_entry> next_report() {
    if (next_listed == listed_offsets.size()) return std::nullopt;
    const char* listed = listed_names.data() + listed_offsets[next_listed++].offset;
    const std::string_view name = listed + 1;  // no name here passes 255 bytes
    report_entry entry{};
    name.copy(entry.name, sizeof entry.name - 1);
    const std::string summary_text = windows_1251_from_text(name);
    summary_text.copy(entry.summary_text, sizeof entry.summary_text - 1);
    entry.kind = static_cast<entry_kind>(listed[0]);
    return entry;
}

void close_report_search() {
    std::vector<char>().swap(listed_names);
    std::vector<listed_name>().swap(listed_offsets);
    next_listed = 0;
}

result<folder_path> working_directory() {
    std::string text(256, '\0');
    while (getcwd(text.data(), text.size()) == nullptr) {
        if (errno != ERANGE) return failure_of(errno);
        text.assign(text.size() * 2, '\0');
    }
    text.resize(std::strlen(text.c_str()));
    folder_path path;
    path.summary_text = windows_1251_from_text(text);
    path.text = std::move(text);
    return path;
}

std::size_t name_units(std::string_view name) { return name.size(); }

namespace {
constexpr std::int64_t billion = 1000000000;

report_version version_from(const struct stat& info) {
    return {static_cast<std::uint64_t>(info.st_size), info.st_mtim.tv_sec * billion + info.st_mtim.tv_nsec,
            info.st_ctim.tv_sec * billion + info.st_ctim.tv_nsec};
}

std::int64_t clock_now() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec * billion + now.tv_nsec;
}

report_version version_from(const struct statx& info) {
    return {info.stx_size, info.stx_mtime.tv_sec * billion + info.stx_mtime.tv_nsec,
            info.stx_ctime.tv_sec * billion + info.stx_ctime.tv_nsec};
}

// A file system behind a cache is asked for the file's details themselves,
// not for what its cache holds of them (FUSE, NFS and CIFS honour that).
// Some daemons still answer from caches of their own, so this alone does
// not settle that a report stayed as it was.
result<report_version> fresh_version(int fd) {
    struct statx info;
    if (statx(fd, "", AT_EMPTY_PATH | AT_STATX_FORCE_SYNC, STATX_SIZE | STATX_MTIME | STATX_CTIME, &info) == 0)
        return version_from(info);
    if (errno != ENOSYS && errno != EINVAL && errno != EPERM) return failure_of(errno);
    struct stat plain;  // a kernel, or a sandbox, without statx
    if (fstat(fd, &plain) != 0) return failure_of(errno);
    return version_from(plain);
}

constexpr int report_open_flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// The report just opened, checked again in case the entry changed in between.
// One behind a cache is first read from bytes fetched afresh.
result<opened_report> opened_from(int fd) {
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return failure{"not a regular file"};
    }
    opened_report report{fd, version_from(info), clock_now(), is_behind_a_cache(fd, info)};
    if (report.behind_a_cache) {
        const result<report_version> fresh = fresh_version(fd);
        if (!fresh) {
            close(fd);
            return failure{fresh.reason()};
        }
        report.version = *fresh;
        forget_cached_bytes(report);
    }
    return report;
}

}  // namespace

result<opened_report> open_report(const report_entry& entry) {
    // What is not a regular file (a FIFO, a device) is never opened; where the
    // listing did not tell, a look first. The open itself does not block.
    const failure not_regular{"not a regular file"};
    if (entry.kind == entry_kind::not_known) {
        struct stat info;
        if (stat(entry.name, &info) != 0) return failure_of(errno);
        if (!S_ISREG(info.st_mode)) return not_regular;
    } else if (entry.kind != entry_kind::regular_file) {
        return not_regular;
    }
    const int fd = open(entry.name, report_open_flags);
    if (fd < 0) return failure_of(errno);
    return opened_from(fd);
}

std::uint64_t unreadable_report_size(const report_entry& entry) {
    struct stat info;
    return stat(entry.name, &info) == 0 && S_ISREG(info.st_mode) ? static_cast<std::uint64_t>(info.st_size) : 0;
}

void close_report(report_handle report) { close(static_cast<int>(report)); }

result<std::size_t> read_report_at(report_handle report, unsigned char* buffer, std::size_t capacity,
                                   std::uint64_t offset) {
    for (;;) {
        const ssize_t got = pread(static_cast<int>(report), buffer, capacity, static_cast<off_t>(offset));
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) return failure_of(errno);
    }
}

void expect_reading_through(report_handle report) {
    posix_fadvise(static_cast<int>(report), 0, 0, POSIX_FADV_SEQUENTIAL);
}

result<report_version> version_of_report(const opened_report& report) {
    const int fd = static_cast<int>(report.handle);
    if (report.behind_a_cache) return fresh_version(fd);
    struct stat info;
    if (fstat(fd, &info) != 0) return failure_of(errno);
    return version_from(info);
}

void forget_cached_bytes(const opened_report& report) {
    if (report.behind_a_cache) posix_fadvise(static_cast<int>(report.handle), 0, 0, POSIX_FADV_DONTNEED);
}

// The batches go through the thread's ring where it serves (see
// platform_posix_ring.hpp); what it did not do is the call one by one.
std::vector<result<opened_report>> open_reports(std::span<const report_entry* const> entries) {
    // Only entries the listing knew as regular files go through the ring.
    std::vector<ring::request> requests;
    std::vector<std::size_t> request_of(entries.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i]->kind != entry_kind::regular_file) continue;
        request_of[i] = requests.size();
        requests.push_back({.what = ring::request::kind::open, .path = entries[i]->name, .flags = report_open_flags});
    }
    const std::vector<int> fds = ring::run(requests);
    std::vector<result<opened_report>> opened;
    opened.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const int fd = request_of[i] < fds.size() ? fds[request_of[i]] : ring::not_done;
        if (fd == ring::not_done)
            opened.push_back(open_report(*entries[i]));
        else if (fd >= 0)
            opened.push_back(opened_from(fd));
        else
            opened.emplace_back(failure_of(-fd));
    }
    return opened;
}

std::vector<result<std::size_t>> read_report_starts(std::span<const start_read> reads) {
    std::vector<ring::request> requests;
    requests.reserve(reads.size());
    for (const start_read& r : reads)
        requests.push_back({.what = ring::request::kind::read,
                            .fd = static_cast<int>(r.report),
                            .buffer = r.buffer,
                            .capacity = static_cast<unsigned>(r.capacity)});
    const std::vector<int> got = ring::run(requests);
    std::vector<result<std::size_t>> results;
    results.reserve(reads.size());
    for (std::size_t i = 0; i < reads.size(); ++i) {
        // A report opened not to block (in case it was no regular file) is
        // not waited for by the ring: a read that would wait for the disk
        // comes back with EAGAIN and is made again here, where it waits.
        if (got[i] == ring::not_done || got[i] == -EAGAIN || got[i] == -EINTR)
            results.push_back(read_report_at(reads[i].report, reads[i].buffer, reads[i].capacity, 0));
        else if (got[i] >= 0)
            results.emplace_back(static_cast<std::size_t>(got[i]));
        else
            results.emplace_back(failure_of(-got[i]));
    }
    return results;
}

std::vector<result<report_version>> look_and_close_reports(std::span<const opened_report> reports) {
    // Each report is looked at with fstat, then all are closed with one
    // call. In the ring a look on a descriptor (statx with an empty path)
    // goes through a path lookup, often on the ring's own worker threads,
    // and costs more than the fstat it saves.
    std::vector<result<report_version>> versions;
    versions.reserve(reports.size());
    std::vector<ring::request> requests;
    requests.reserve(reports.size());
    for (const opened_report& report : reports) {
        versions.push_back(version_of_report(report));
        requests.push_back({.what = ring::request::kind::close, .fd = static_cast<int>(report.handle)});
    }
    // A close the ring carried out is never made again, whatever it
    // answered: the number may be another file's by then.
    const std::vector<int> closed = ring::run(requests);
    for (std::size_t i = 0; i < reports.size(); ++i)
        if (closed[i] == ring::not_done) close_report(reports[i].handle);
    return versions;
}

std::size_t files_of_a_batch_reader() { return ring::files_held(); }

std::size_t open_files_allowed() {
    struct rlimit open_files {};
    if (getrlimit(RLIMIT_NOFILE, &open_files) != 0) return 20;  // the least POSIX allows
    return open_files.rlim_cur > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(open_files.rlim_cur);
}

std::size_t open_files_now() {
    // The system's own list of them, less the one that lists them; where
    // there is none, every number below the limit is asked for.
    if (DIR* listing = opendir("/proc/self/fd")) {
        std::size_t count = 0;
        while (const dirent* item = readdir(listing))
            if (item->d_name[0] != '.') ++count;
        closedir(listing);
        return count > 0 ? count - 1 : 0;
    }
    const std::size_t asked = std::min<std::size_t>(open_files_allowed(), 1 << 16);
    std::size_t count = 0;
    for (std::size_t fd = 0; fd < asked; ++fd)
        if (fcntl(static_cast<int>(fd), F_GETFD) != -1) ++count;
    return count;
}

unsigned processors() {
    cpu_set_t usable;
    if (sched_getaffinity(0, sizeof usable, &usable) == 0) return static_cast<unsigned>(CPU_COUNT(&usable));
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

result<summary_handle> create_summary() {
    // O_EXCL under a fresh name; the mode gives an ordinary new file's
    // permissions. The name never holds ".htm", so no search takes it for a report.
    for (unsigned attempt = 0;; ++attempt) {
        const ending_signals_held held;
        std::snprintf(temporary_summary, sizeof temporary_summary, ".traffic-totals-%ld-%u.tmp",
                      static_cast<long>(getpid()), attempt);
        const int fd = open(temporary_summary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            have_temporary_summary = 1;
            return summary_handle{fd};
        }
        const int error = errno;
        if (error == EEXIST && attempt < 1000) continue;
        // The system may have made the file before it refused the open (an
        // on-access scanner that denies it does so): an empty file of this
        // run's own name and owner is that one, and goes.
        struct stat left;
        if (error != EEXIST && lstat(temporary_summary, &left) == 0 && S_ISREG(left.st_mode) && left.st_size == 0 &&
            left.st_uid == geteuid())
            unlink(temporary_summary);
        return failure_of(error);
    }
}

result<> write_summary(summary_handle summary, std::string_view text) {
    return write_all(static_cast<int>(summary), text);
}

// Flushed to disk and put in place while still open, and only then closed:
// a summary that is given up is always removed while it is open (see
// discard_summary). A close that fails after that is said, though the
// summary, complete on disk, is in place.
result<> commit_summary(summary_handle summary, std::string_view final_name) {
    const int fd = static_cast<int>(summary);
    int error = fsync(fd) != 0 ? errno : 0;
    if (error == 0) {
        const ending_signals_held held;
        if (rename(temporary_summary, std::string(final_name).c_str()) != 0)
            error = errno;
        else
            have_temporary_summary = 0;
    }
    if (error != 0) {
        discard_summary(summary);
        return failure_of(error);
    }
    if (close(fd) != 0) error = errno;
    // The new directory entry reaches the disk too.
    const int directory = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);
        close(directory);
    }
    if (error != 0) return failure_of(error);
    return succeeded();
}

// The temporary's name goes while the file is still open, then the file is
// closed; the signal handler removes it while it is open too. A file system
// in user space (sshfs) hides a file removed while open and removes it at its
// release, while a removal just after the close can meet a release not yet
// done and leave a hidden .fuse_hidden file behind for good.
void discard_summary(summary_handle summary) {
    if (have_temporary_summary) unlink(temporary_summary);
    have_temporary_summary = 0;
    if (summary != no_summary) close(static_cast<int>(summary));
}

result<> pause() {
    result<> written = write_standard(standard_stream::output, "Press any key to continue . . . ");
    // Only a terminal has a key to wait for: a file, /dev/null or a pipe that
    // stays open (ssh, sleep | ...) is never read.
    if (isatty(STDIN_FILENO) == 1 && tcgetattr(STDIN_FILENO, &saved_terminal) == 0) {
        termios raw = saved_terminal;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        terminal_changed = 1;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        unsigned char key;
        while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
        }
        // Drop the rest of a key that sent several bytes (an arrow, say).
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_terminal);
        terminal_changed = 0;
    }
    if (written) written = write_standard(standard_stream::output, "\n");
    return written;
}

}  // namespace platform
