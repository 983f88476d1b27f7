/* What each start benchmark of bench/spawn prints after N calls: wall
 * time, the calling thread's CPU time, and the CPU time of the process
 * with the programs it ran and reaped, each in microseconds per call. */
#ifndef SPAWN_TIMING_H
#define SPAWN_TIMING_H

#include <stdio.h>
#include <sys/resource.h>
#include <time.h>

static double seconds_of(clockid_t clock) {
    struct timespec now;
    clock_gettime(clock, &now);
    return (double)now.tv_sec + (double)now.tv_nsec * 1e-9;
}

static double cpu_with_children(void) {
    double total = 0;
    struct rusage usage;
    for (int who = 0; who < 2; ++who) {
        getrusage(who == 0 ? RUSAGE_SELF : RUSAGE_CHILDREN, &usage);
        total += (double)usage.ru_utime.tv_sec + (double)usage.ru_utime.tv_usec * 1e-6 +
                 (double)usage.ru_stime.tv_sec + (double)usage.ru_stime.tv_usec * 1e-6;
    }
    return total;
}

struct timing {
    double wall, thread, all;
};

static struct timing timing_now(void) {
    struct timing now = {seconds_of(CLOCK_MONOTONIC), seconds_of(CLOCK_THREAD_CPUTIME_ID),
                         cpu_with_children()};
    return now;
}

static void print_per_call(struct timing begun, long calls) {
    struct timing ended = timing_now();
    printf("%.2f %.2f %.2f\n", (ended.wall - begun.wall) * 1e6 / (double)calls,
           (ended.thread - begun.thread) * 1e6 / (double)calls,
           (ended.all - begun.all) * 1e6 / (double)calls);
}

#endif
