/* Preloaded into the program by the fault tests, to make calls fail that no
 * limit can make fail for root. Each fault is set by an environment variable:
 *   TT_FAIL_THREADS_AFTER=N      every thread start after the first N fails with EAGAIN
 *   TT_DENY_OPEN=NAME            opening NAME fails with EACCES
 *   TT_SIGNAL_IN_SUMMARY_OPEN=S  signal S is raised as soon as the temporary summary is created
 *   TT_REFUSE_IO_URING=1         io_uring_setup fails with EPERM, as container sandboxes make it
 *   TT_FAIL_OPENS_FOR_FILES=N    the first open of each of the first N reports opened (names with
 *                                ".htm") fails with EMFILE; opened again, they open
 *   TT_REFUSE_SUMMARY_MADE=1     the temporary summary's open creates the file, then fails with
 *                                EPERM, as an on-access scanner that denies the open leaves it
 *   TT_FAIL_READS_OF=NAME        every read of the file NAME fails with EIO; the number of them
 *   TT_FAILED_READS_TO=PATH      is written to PATH as the program ends
 *   TT_FILE_SYSTEM_TYPE=HEX      statfs and fstatfs say the file system is of that type (f_type)
 *   TT_STALE_DETAILS=1           fstat and statx of a report give what its first look found, its
 *                                times an hour older: a share's client that answers from a cache of
 *                                its own, kept since the report was last written long ago
 *   TT_REWRITE_BETWEEN_READINGS=NAME  the second time the program drops what the system caches of
 *                                the report NAME (POSIX_FADV_DONTNEED), its digits are rewritten
 *                                (each 1 becomes 2), the size kept
 *   TT_FAIL_SUMMARY=CALL         CALL (write, fsync or rename) on the temporary summary fails
 *                                (ENOSPC, EIO, EACCES)
 *   TT_CALLS_TO=PATH             a line is added to PATH for each look that asks the file system
 *                                itself (statx with AT_STATX_FORCE_SYNC: "forced look"), each drop
 *                                of cached bytes ("dropped"), and each removal of the temporary
 *                                summary ("removed while open" or "removed after close")
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/vfs.h>
#include <unistd.h>

static atomic_int threads_started;
static pthread_mutex_t refused_lock = PTHREAD_MUTEX_INITIALIZER;
static char refused_names[64][256];
static int refused_count;
static atomic_int failed_reads;
static volatile int summary_fd = -1;

/* One line added to TT_CALLS_TO's file, with system calls alone, so that the
 * signal handler's removal of the temporary summary is noted too. */
static void note_call(const char* what) {
    const char* path = getenv("TT_CALLS_TO");
    if (path == NULL) return;
    const int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    char line[64];
    const size_t length = strlen(what);
    memcpy(line, what, length);
    line[length] = '\n';
    syscall(SYS_write, fd, line, length + 1);
    syscall(SYS_close, fd);
}

/* Whether the call on fd is to fail by TT_FAIL_SUMMARY. */
static int failing_summary_call(int fd, const char* call) {
    const char* failing = getenv("TT_FAIL_SUMMARY");
    return fd >= 0 && fd == summary_fd && failing != NULL && strcmp(failing, call) == 0;
}

/* A seccomp filter that answers io_uring_setup with EPERM, installed before
 * the program starts. */
__attribute__((constructor)) static void refuse_io_uring(void) {
    if (getenv("TT_REFUSE_IO_URING") == NULL) return;
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_setup, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        abort();
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
    int (*real)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) =
        (int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*))dlsym(RTLD_NEXT, "pthread_create");
    const char* after = getenv("TT_FAIL_THREADS_AFTER");
    if (after != NULL && atomic_fetch_add(&threads_started, 1) >= atoi(after)) return EAGAIN;
    return real(thread, attr, start, arg);
}

/* Whether this is the first open of one of the first `most` reports. */
static int refuse_first_open(const char* path, int most) {
    pthread_mutex_lock(&refused_lock);
    int refuse = refused_count < most && refused_count < 64 && strlen(path) < sizeof refused_names[0];
    for (int i = 0; refuse && i < refused_count; ++i)
        if (strcmp(refused_names[i], path) == 0) refuse = 0;
    if (refuse) strcpy(refused_names[refused_count++], path);
    pthread_mutex_unlock(&refused_lock);
    return refuse;
}

static int faulty_open(const char* symbol, const int* at, const char* path, int flags, mode_t mode) {
    const char* denied = getenv("TT_DENY_OPEN");
    if (denied != NULL && strcmp(path, denied) == 0) {
        errno = EACCES;
        return -1;
    }
    const char* failing_opens = getenv("TT_FAIL_OPENS_FOR_FILES");
    if (failing_opens != NULL && (flags & O_CREAT) == 0 && strstr(path, ".htm") != NULL &&
        refuse_first_open(path, atoi(failing_opens))) {
        errno = EMFILE;
        return -1;
    }
    const int refuse_made =
        getenv("TT_REFUSE_SUMMARY_MADE") != NULL && (flags & O_CREAT) != 0 && strstr(path, ".traffic-totals-") != NULL;
    int fd;
    if (at == NULL) {
        int (*real)(const char*, int, ...) = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, symbol);
        fd = real(path, flags, mode);
    } else {
        int (*real)(int, const char*, int, ...) = (int (*)(int, const char*, int, ...))dlsym(RTLD_NEXT, symbol);
        fd = real(*at, path, flags, mode);
    }
    if (refuse_made && fd >= 0) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    if (fd >= 0 && (flags & O_CREAT) != 0 && strstr(path, ".traffic-totals-") != NULL) summary_fd = fd;
    const char* signal_number = getenv("TT_SIGNAL_IN_SUMMARY_OPEN");
    if (fd >= 0 && signal_number != NULL && (flags & O_CREAT) != 0 && strstr(path, ".traffic-totals-") != NULL)
        raise(atoi(signal_number));
    return fd;
}

#define MODE_ARGUMENT(flags)               \
    mode_t mode = 0;                       \
    if ((flags) & (O_CREAT | O_TMPFILE)) { \
        va_list args;                      \
        va_start(args, flags);             \
        mode = va_arg(args, mode_t);       \
        va_end(args);                      \
    }

int open(const char* path, int flags, ...) {
    MODE_ARGUMENT(flags)
    return faulty_open("open", NULL, path, flags, mode);
}
int open64(const char* path, int flags, ...) {
    MODE_ARGUMENT(flags)
    return faulty_open("open64", NULL, path, flags, mode);
}
int openat(int at, const char* path, int flags, ...) {
    MODE_ARGUMENT(flags)
    return faulty_open("openat", &at, path, flags, mode);
}
int openat64(int at, const char* path, int flags, ...) {
    MODE_ARGUMENT(flags)
    return faulty_open("openat64", &at, path, flags, mode);
}

/* Whether fd is the file that `name` names in the working directory. */
static int is_file_named(int fd, const char* name) {
    if (name == NULL) return 0;
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, target, sizeof target - 1);
    if (length < 0) return 0;
    target[length] = '\0';
    const size_t name_length = strlen(name);
    return (size_t)length > name_length && target[length - name_length - 1] == '/' &&
           strcmp(target + length - name_length, name) == 0;
}

static ssize_t faulty_pread(const char* symbol, int fd, void* buffer, size_t count, off_t offset) {
    if (is_file_named(fd, getenv("TT_FAIL_READS_OF"))) {
        atomic_fetch_add(&failed_reads, 1);
        errno = EIO;
        return -1;
    }
    ssize_t (*real)(int, void*, size_t, off_t) = (ssize_t(*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, symbol);
    return real(fd, buffer, count, offset);
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
    return faulty_pread("pread", fd, buffer, count, offset);
}
ssize_t pread64(int fd, void* buffer, size_t count, off_t offset) {
    return faulty_pread("pread64", fd, buffer, count, offset);
}

__attribute__((destructor)) static void write_failed_reads(void) {
    const char* path = getenv("TT_FAILED_READS_TO");
    if (path == NULL) return;
    FILE* out = fopen(path, "w");
    if (out == NULL) return;
    fprintf(out, "%d\n", atomic_load(&failed_reads));
    fclose(out);
}

/* ---- file systems behind a cache ---- */

static void as_file_system_type(struct statfs* info) {
    const char* type = getenv("TT_FILE_SYSTEM_TYPE");
    if (type != NULL) info->f_type = (__fsword_t)strtoul(type, NULL, 16);
}

int statfs(const char* path, struct statfs* info) {
    int (*real)(const char*, struct statfs*) = (int (*)(const char*, struct statfs*))dlsym(RTLD_NEXT, "statfs");
    const int status = real(path, info);
    if (status == 0) as_file_system_type(info);
    return status;
}
int fstatfs(int fd, struct statfs* info) {
    int (*real)(int, struct statfs*) = (int (*)(int, struct statfs*))dlsym(RTLD_NEXT, "fstatfs");
    const int status = real(fd, info);
    if (status == 0) as_file_system_type(info);
    return status;
}

/* Whether fd is a report: a file whose name holds ".htm". */
static int is_report(int fd) {
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, target, sizeof target - 1);
    if (length < 0) return 0;
    target[length] = '\0';
    return strstr(target, ".htm") != NULL;
}

/* The details a stale cache gives: the first look at each report. */
static pthread_mutex_t details_lock = PTHREAD_MUTEX_INITIALIZER;
static struct {
    dev_t device;
    ino_t inode;
    struct stat details;
} first_looks[256];
static int first_look_count;

/* Gives the details of the first look at the same file instead, where they are stale. */
static void stale(struct stat* info) {
    pthread_mutex_lock(&details_lock);
    int i = 0;
    while (i < first_look_count && (first_looks[i].device != info->st_dev || first_looks[i].inode != info->st_ino)) ++i;
    if (i < first_look_count)
        *info = first_looks[i].details;
    else if (first_look_count < 256) {
        info->st_mtim.tv_sec -= 3600;
        info->st_ctim.tv_sec -= 3600;
        first_looks[first_look_count++] = (typeof(first_looks[0])){info->st_dev, info->st_ino, *info};
    }
    pthread_mutex_unlock(&details_lock);
}

int fstat(int fd, struct stat* info) {
    int (*real)(int, struct stat*) = (int (*)(int, struct stat*))dlsym(RTLD_NEXT, "fstat");
    const int status = real(fd, info);
    if (status == 0 && getenv("TT_STALE_DETAILS") != NULL && is_report(fd)) stale(info);
    return status;
}
int fstat64(int fd, struct stat64* info) { return fstat(fd, (struct stat*)info); }

int statx(int at, const char* path, int flags, unsigned mask, struct statx* info) {
    int (*real)(int, const char*, int, unsigned, struct statx*) =
        (int (*)(int, const char*, int, unsigned, struct statx*))dlsym(RTLD_NEXT, "statx");
    if ((flags & AT_STATX_FORCE_SYNC) != 0) note_call("forced look");
    const int status = real(at, path, flags, mask, info);
    if (status == 0 && getenv("TT_STALE_DETAILS") != NULL && (flags & AT_EMPTY_PATH) != 0 && is_report(at)) {
        struct stat details = {.st_dev = makedev(info->stx_dev_major, info->stx_dev_minor), .st_ino = info->stx_ino};
        details.st_size = (off_t)info->stx_size;
        details.st_mtim = (struct timespec){info->stx_mtime.tv_sec, info->stx_mtime.tv_nsec};
        details.st_ctim = (struct timespec){info->stx_ctime.tv_sec, info->stx_ctime.tv_nsec};
        stale(&details);
        info->stx_size = (__u64)details.st_size;
        info->stx_mtime =
            (struct statx_timestamp){.tv_sec = details.st_mtim.tv_sec, .tv_nsec = (__u32)details.st_mtim.tv_nsec};
        info->stx_ctime =
            (struct statx_timestamp){.tv_sec = details.st_ctim.tv_sec, .tv_nsec = (__u32)details.st_ctim.tv_nsec};
    }
    return status;
}

static atomic_int drops_of_rewritten;

/* Every 1 in the file becomes a 2, in place. */
static void rewrite_digits(int fd) {
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, target, sizeof target - 1);
    if (length < 0) return;
    target[length] = '\0';
    const int out = (int)syscall(SYS_openat, AT_FDCWD, target, O_RDWR | O_CLOEXEC);
    if (out < 0) return;
    char piece[65536];
    for (off_t at = 0;;) {
        const ssize_t got = (ssize_t)syscall(SYS_pread64, out, piece, sizeof piece, at);
        if (got <= 0) break;
        for (ssize_t i = 0; i < got; ++i)
            if (piece[i] == '1') piece[i] = '2';
        syscall(SYS_pwrite64, out, piece, got, at);
        at += got;
    }
    syscall(SYS_close, out);
}

int posix_fadvise(int fd, off_t offset, off_t length, int advice) {
    int (*real)(int, off_t, off_t, int) = (int (*)(int, off_t, off_t, int))dlsym(RTLD_NEXT, "posix_fadvise");
    if (advice == POSIX_FADV_DONTNEED) {
        note_call("dropped");
        if (is_file_named(fd, getenv("TT_REWRITE_BETWEEN_READINGS")) && atomic_fetch_add(&drops_of_rewritten, 1) == 1)
            rewrite_digits(fd);
    }
    return real(fd, offset, length, advice);
}
int posix_fadvise64(int fd, off_t offset, off_t length, int advice) {
    return posix_fadvise(fd, offset, length, advice);
}

/* ---- the temporary summary's life ---- */

ssize_t write(int fd, const void* bytes, size_t count) {
    if (failing_summary_call(fd, "write")) {
        errno = ENOSPC;
        return -1;
    }
    ssize_t (*real)(int, const void*, size_t) = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    return real(fd, bytes, count);
}

int fsync(int fd) {
    if (failing_summary_call(fd, "fsync")) {
        errno = EIO;
        return -1;
    }
    int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    return real(fd);
}

int rename(const char* from, const char* to) {
    if (strstr(from, ".traffic-totals-") != NULL && failing_summary_call(summary_fd, "rename")) {
        errno = EACCES;
        return -1;
    }
    int (*real)(const char*, const char*) = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
    return real(from, to);
}

int close(int fd) {
    if (fd >= 0 && fd == summary_fd) summary_fd = -1;
    int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "close");
    return real(fd);
}

int unlink(const char* path) {
    if (strstr(path, ".traffic-totals-") != NULL)
        note_call(summary_fd >= 0 ? "removed while open" : "removed after close");
    return (int)syscall(SYS_unlinkat, AT_FDCWD, path, 0);
}
