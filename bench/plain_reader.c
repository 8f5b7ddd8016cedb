/* The floor for reading reports: open, read to the end in 64 KiB reads, close,
 * for every file named on the command line. With -j N first, N threads share
 * the files, each taking every Nth: the floor for a run on N processors. */
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

struct share {
    char** names;
    int count, first, step;
    unsigned long long total;
    int failed;
};

static void* read_share(void* arg) {
    struct share* s = arg;
    char* buffer = malloc(1 << 16);
    for (int i = s->first; buffer != NULL && i < s->count; i += s->step) {
        int fd = open(s->names[i], O_RDONLY);
        if (fd < 0) {
            perror(s->names[i]);
            s->failed = 1;
            break;
        }
        ssize_t got;
        while ((got = read(fd, buffer, 1 << 16)) > 0) s->total += (unsigned long long)got;
        close(fd);
    }
    free(buffer);
    return NULL;
}

int main(int argc, char** argv) {
    int threads = 1, first = 1;
    if (argc > 2 && strcmp(argv[1], "-j") == 0) {
        threads = atoi(argv[2]);
        first = 3;
    }
    if (threads < 1 || threads > 64) return 2;
    struct share shares[64];
    pthread_t ids[64];
    for (int t = 0; t < threads; ++t) {
        shares[t] = (struct share){argv + first, argc - first, t, threads, 0, 0};
        if (t > 0) pthread_create(&ids[t], NULL, read_share, &shares[t]);
    }
    read_share(&shares[0]);
    unsigned long long total = shares[0].total;
    int failed = shares[0].failed;
    for (int t = 1; t < threads; ++t) {
        pthread_join(ids[t], NULL);
        total += shares[t].total;
        failed |= shares[t].failed;
    }
    printf("%llu\n", total);
    return failed;
}
