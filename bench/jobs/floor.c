/* The floor of cmdkit_run_all: `floor JOBS COUNT PROGRAM` spawns PROGRAM
 * COUNT times (its argument the job's number), at most JOBS at once, each
 * with its output and errors in two pipes, all read in one poll(2) to
 * their end, each reaped when both have ended. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

struct job {
    pid_t pid;
    int open;
};

static pid_t spawn(const char *program, long number, int pipes[2][2]) {
    char argument[24];
    snprintf(argument, sizeof argument, "%ld", number);
    char *argv[] = {(char *)program, argument, NULL};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipes[0][1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipes[1][1], 2);
    pid_t pid = -1;
    posix_spawn(&pid, program, &actions, NULL, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int main(int argc, char **argv) {
    if (argc != 4)
        return 2;
    const int slots = atoi(argv[1]);
    const long count = atol(argv[2]);
    struct job *jobs = calloc((size_t)slots, sizeof *jobs);
    struct pollfd *fds = calloc((size_t)slots * 2, sizeof *fds);
    for (int i = 0; i < slots * 2; ++i)
        fds[i].fd = -1;
    long started = 0, running = 0;
    char buffer[65536];
    while (started < count || running > 0) {
        for (int s = 0; s < slots && started < count; ++s) {
            if (jobs[s].open > 0 || jobs[s].pid > 0)
                continue;
            int pipes[2][2];
            if (pipe2(pipes[0], O_CLOEXEC) != 0 || pipe2(pipes[1], O_CLOEXEC) != 0)
                return 1;
            jobs[s].pid = spawn(argv[3], started++, pipes);
            close(pipes[0][1]);
            close(pipes[1][1]);
            fds[2 * s] = (struct pollfd){pipes[0][0], POLLIN, 0};
            fds[2 * s + 1] = (struct pollfd){pipes[1][0], POLLIN, 0};
            jobs[s].open = 2;
            ++running;
        }
        if (poll(fds, (nfds_t)slots * 2, -1) < 0)
            return 1;
        for (int i = 0; i < slots * 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0 || read(fds[i].fd, buffer, sizeof buffer) > 0)
                continue;
            close(fds[i].fd);
            fds[i].fd = -1;
            struct job *job = &jobs[i / 2];
            if (--job->open == 0) {
                waitpid(job->pid, NULL, 0);
                job->pid = 0;
                --running;
            }
        }
    }
    return 0;
}
