/* qf580-bench-measure: runs one command and prints what it cost, more finely than
 * /usr/bin/time does (whose wall and CPU times are in hundredths of a second):
 *
 *   WALL USER SYS MAXRSS_KB EXIT SIM_CPU
 *
 * in seconds (microseconds for the CPU times, nanoseconds for the wall), the peak resident
 * memory in KiB, the command's exit code (128 + N for a signal) and, with --sim PID, the CPU
 * time that process (all its threads) used while the command ran, -1 without it. --sim may be
 * repeated (several simulated devices): SIM_CPU is then their sum.
 *
 * Usage: qf580-bench-measure [--sim PID]... -- COMMAND [ARGS...]
 * The command's standard input is /dev/null and its output goes to /dev/null.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

/* The CPU time of every thread of `pid` in nanoseconds, from the scheduler's own account
 * (exact, unlike the clock ticks of /proc/PID/stat); -1 if it can't be read. */
static long long ProcessCpuNs(int pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/task", pid);
    DIR* tasks = opendir(path);
    if (tasks == NULL) {
        return -1;
    }
    long long total = 0;
    struct dirent* entry;
    while ((entry = readdir(tasks)) != NULL) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        char stat[320];
        snprintf(stat, sizeof stat, "/proc/%d/task/%s/schedstat", pid, entry->d_name);
        FILE* f = fopen(stat, "r");
        if (f == NULL) {
            continue; /* the thread has just ended */
        }
        long long ns = 0;
        if (fscanf(f, "%lld", &ns) == 1) {
            total += ns;
        }
        fclose(f);
    }
    closedir(tasks);
    return total;
}

static double Seconds(struct timeval t) {
    return (double)t.tv_sec + (double)t.tv_usec / 1e6;
}

enum { kMostSims = 64 };

/* The CPU time of all the simulators, -1 if any can't be read. */
static long long SimsCpuNs(const int* sims, int count) {
    long long total = 0;
    for (int i = 0; i < count; ++i) {
        const long long ns = ProcessCpuNs(sims[i]);
        if (ns < 0) {
            return -1;
        }
        total += ns;
    }
    return count > 0 ? total : -1;
}

int main(int argc, char** argv) {
    int sims[kMostSims];
    int simCount = 0;
    int first = 1;
    for (; first < argc; ++first) {
        if (strcmp(argv[first], "--sim") == 0 && first + 1 < argc && simCount < kMostSims) {
            sims[simCount++] = atoi(argv[++first]);
        } else if (strcmp(argv[first], "--") == 0) {
            ++first;
            break;
        } else {
            first = argc;
        }
    }
    if (first >= argc) {
        fprintf(stderr, "usage: qf580-bench-measure [--sim PID]... -- COMMAND [ARGS...]\n");
        return 2;
    }

    const long long simBefore = SimsCpuNs(sims, simCount);
    struct timespec start;
    struct timespec end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t child = fork();
    if (child < 0) {
        perror("fork");
        return 1;
    }
    if (child == 0) {
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
        }
        execvp(argv[first], argv + first);
        perror(argv[first]);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(child, &status, 0, &usage) < 0) {
        perror("wait4");
        return 1;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    const long long simAfter = SimsCpuNs(sims, simCount);

    const double wall =
        (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const double simCpu =
        simBefore >= 0 && simAfter >= 0 ? (double)(simAfter - simBefore) / 1e9 : -1.0;
    printf("%.6f %.6f %.6f %ld %d %.6f\n", wall, Seconds(usage.ru_utime), Seconds(usage.ru_stime),
           usage.ru_maxrss, code, simCpu);
    return 0;
}
