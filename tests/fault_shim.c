/* Preloaded into the program by the fault tests, to make calls fail that no
 * limit can make fail for root. Each fault is set by an environment variable:
 *   TT_FAIL_THREADS_AFTER=N      every thread start after the first N fails with EAGAIN
 *   TT_DENY_OPEN=NAME            opening NAME fails with EACCES
 *   TT_SIGNAL_IN_SUMMARY_OPEN=S  signal S is raised as soon as the temporary summary is created
 *   TT_REFUSE_IO_URING=1         io_uring_setup fails with EPERM, as container sandboxes make it
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
#include <sys/prctl.h>
#include <sys/syscall.h>

static atomic_int threads_started;

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

static int faulty_open(const char* symbol, const int* at, const char* path, int flags, mode_t mode) {
    const char* denied = getenv("TT_DENY_OPEN");
    if (denied != NULL && strcmp(path, denied) == 0) {
        errno = EACCES;
        return -1;
    }
    int fd;
    if (at == NULL) {
        int (*real)(const char*, int, ...) = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, symbol);
        fd = real(path, flags, mode);
    } else {
        int (*real)(int, const char*, int, ...) = (int (*)(int, const char*, int, ...))dlsym(RTLD_NEXT, symbol);
        fd = real(*at, path, flags, mode);
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
