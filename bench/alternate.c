/* Starts the given programs in turn, over and over, each with its output to
 * /dev/null, and prints the median wall time of each and its ratio to the
 * last one's. Taking them in turn shows them the same machine: hyperfine runs
 * all runs of one command before the next, and on a busy virtual machine the
 * speed drifts between such blocks.
 *   alternate RUNS PROGRAM... (the last one is the reference) */
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>

extern char** environ;

enum { kWarmup = 50 };

static double Microseconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec * 1e6 + (double)now.tv_nsec / 1e3;
}

static int Compare(const void* a, const void* b) {
    const double x = *(const double*)a;
    const double y = *(const double*)b;
    return (x > y) - (x < y);
}

int main(int argc, char** argv) {
    if (argc < 3 || atoi(argv[1]) <= 0) {
        fprintf(stderr, "usage: alternate RUNS PROGRAM...\n");
        return 2;
    }
    const int runs = atoi(argv[1]);
    const int count = argc - 2;
    double* times = malloc(sizeof(double) * (size_t)runs * (size_t)count);
    posix_spawn_file_actions_t actions;
    if (times == NULL || posix_spawn_file_actions_init(&actions) != 0 ||
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0) != 0) {
        fprintf(stderr, "alternate: out of memory\n");
        return 2;
    }
    for (int run = 0; run < kWarmup + runs; ++run) {
        for (int i = 0; i < count; ++i) {
            char* arguments[] = {argv[2 + i], NULL};
            pid_t child;
            int status;
            const double start = Microseconds();
            if (posix_spawn(&child, argv[2 + i], &actions, NULL, arguments, environ) != 0 ||
                waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
                WEXITSTATUS(status) != 0) {
                fprintf(stderr, "alternate: %s did not run and exit 0\n", argv[2 + i]);
                return 1;
            }
            if (run >= kWarmup) {
                times[(size_t)i * (size_t)runs + (size_t)(run - kWarmup)] = Microseconds() - start;
            }
        }
    }
    double* medians = malloc(sizeof(double) * (size_t)count);
    if (medians == NULL) {
        fprintf(stderr, "alternate: out of memory\n");
        return 2;
    }
    for (int i = 0; i < count; ++i) {
        qsort(times + (size_t)i * (size_t)runs, (size_t)runs, sizeof(double), Compare);
        medians[i] = times[(size_t)i * (size_t)runs + (size_t)runs / 2];
    }
    for (int i = 0; i < count; ++i) {
        printf("%s\t%.3f\t%.2f\n", argv[2 + i], medians[i] / 1000, medians[i] / medians[count - 1]);
    }
    free(medians);
    free(times);
    return 0;
}
