/* One hwid_get_identifier call in a running process beside one run of the
 * hwid program, in the same run: the median of many of each, alternated in
 * blocks so that both see the same machine. Prints the figures; asserts
 * nothing.
 *   library HWID [ROUNDS]        the benchmark
 *   library --calls N            N calls and nothing else (for callgrind) */
#define _GNU_SOURCE
#include <hwid/hwid.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static double Now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e6 + (double)t.tv_nsec / 1e3;
}

static int Compare(const void* a, const void* b) {
    const double x = *(const double*)a;
    const double y = *(const double*)b;
    return (x > y) - (x < y);
}

static double Median(double* values, int count) {
    qsort(values, (size_t)count, sizeof *values, Compare);
    return count % 2 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2;
}

int main(int argc, char** argv) {
    char identifier[HWID_IDENTIFIER_SIZE];
    if (argc == 3 && strcmp(argv[1], "--calls") == 0) {
        for (int n = atoi(argv[2]); n > 0; --n) {
            if (hwid_get_identifier(identifier) != HWID_OK) {
                return 1;
            }
        }
        return 0;
    }
    if (argc < 2) {
        fprintf(stderr, "usage: library HWID [ROUNDS] | library --calls N\n");
        return 2;
    }
    const int rounds = argc > 2 ? atoi(argv[2]) : 1000;
    double* calls = malloc(sizeof(double) * (size_t)rounds);
    double* runs = malloc(sizeof(double) * (size_t)rounds);
    if (calls == NULL || runs == NULL || hwid_get_identifier(identifier) != HWID_OK) {
        return 1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", 1 /* O_WRONLY */, 0);
    char* const arguments[] = {argv[1], NULL};
    for (int i = 0; i < rounds; ++i) {
        double start = Now();
        hwid_get_identifier(identifier);
        calls[i] = Now() - start;
        pid_t child;
        start = Now();
        if (posix_spawn(&child, argv[1], &actions, NULL, arguments, environ) != 0) {
            perror("library: cannot start hwid");
            return 1;
        }
        int status;
        waitpid(child, &status, 0);
        runs[i] = Now() - start;
    }
    const double call = Median(calls, rounds);
    const double run = Median(runs, rounds);
    printf("hwid_get_identifier, one call in a running process: median %.1f us (%d calls)\n",
           call, rounds);
    printf("hwid, one run of the program (spawn to exit):       median %.1f us (%d runs)\n",
           run, rounds);
    printf("call / run: %.3f\n", call / run);
    return 0;
}
