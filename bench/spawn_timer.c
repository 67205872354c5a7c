/* spawn_timer RUNS PROGRAM...: runs each program RUNS times, interleaved
 * (each round runs them all, in an order that rotates from round to round),
 * with stdin, stdout and stderr on /dev/null, and prints one line per
 * program: "<program> <median ns> <min ns>". Exit status 2 on bad usage, 1
 * when a run fails or exits other than 0. */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static long long now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

static int by_value(const void *a, const void *b)
{
    const long long x = *(const long long *)a, y = *(const long long *)b;
    return (x > y) - (x < y);
}

int main(int argc, char **argv)
{
    const int runs = argc > 2 ? atoi(argv[1]) : 0;
    if (runs <= 0) {
        fprintf(stderr, "usage: spawn_timer RUNS PROGRAM...\n");
        return 2;
    }
    const int programs = argc - 2;
    long long *times = malloc(sizeof *times * (size_t)runs * (size_t)programs);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    for (int fd = 0; fd <= 2; ++fd)
        posix_spawn_file_actions_addopen(&quiet, fd, "/dev/null", fd ? O_WRONLY : O_RDONLY, 0);
    for (int round = 0; round < runs; ++round) {
        for (int k = 0; k < programs; ++k) {
            const int p = (k + round) % programs;
            char *args[] = {argv[2 + p], NULL};
            pid_t pid;
            int status;
            const long long start = now_ns();
            if (posix_spawn(&pid, args[0], &quiet, NULL, args, environ) != 0 ||
                waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
                WEXITSTATUS(status) != 0) {
                fprintf(stderr, "spawn_timer: %s did not run and exit 0\n", args[0]);
                return 1;
            }
            times[p * runs + round] = now_ns() - start;
        }
    }
    for (int p = 0; p < programs; ++p) {
        long long *mine = times + p * runs;
        qsort(mine, (size_t)runs, sizeof *mine, by_value);
        printf("%s %lld %lld\n", argv[2 + p], mine[runs / 2], mine[0]);
    }
    return 0;
}
