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
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

static atomic_int threads_started;
static pthread_mutex_t refused_lock = PTHREAD_MUTEX_INITIALIZER;
static char refused_names[64][256];
static int refused_count;
static atomic_int failed_reads;

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
    const int refuse_made = getenv("TT_REFUSE_SUMMARY_MADE") != NULL && (flags & O_CREAT) != 0 &&
                            strstr(path, ".traffic-totals-") != NULL;
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

/* Whether fd is the file that TT_FAIL_READS_OF names. */
static int is_failing_file(int fd) {
    const char* name = getenv("TT_FAIL_READS_OF");
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
    if (is_failing_file(fd)) {
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
