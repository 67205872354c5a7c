// Child processes and threads on linux-i386: a check runs in a fork of the
// program, its stdout a pipe, under a time-out.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "checks.h"
#include "process.h"

namespace {

double now(void)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

void split_lines(const std::string &text, std::vector<std::string> &lines)
{
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

} // namespace

outcome run_check_process(const char *name, int timeout_seconds)
{
    outcome result;
    int fds[2];
    if (pipe(fds) != 0)
        return result;
    fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return result;
    }
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], 1);
        close(fds[1]);
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0)
            dup2(null, 2); // the layer's own lines say what the status says
        run_named_check(name);
        end_process(0);
    }
    close(fds[1]);

    const double deadline = now() + timeout_seconds;
    std::string text;
    bool open_pipe = true, ended = false;
    int status = 0;
    while (!ended) {
        if (now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.how = outcome::hung;
            break;
        }
        if (open_pipe) {
            pollfd p = {fds[0], POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                char buffer[512];
                ssize_t n = read(fds[0], buffer, sizeof buffer);
                if (n > 0)
                    text.append(buffer, (size_t)n);
                else if (n == 0 || errno != EINTR)
                    open_pipe = false;
            }
        } else {
            usleep(10000);
        }
        if (!open_pipe) {
            pid_t done = waitpid(pid, &status, WNOHANG);
            ended = done == pid;
        }
    }
    close(fds[0]);
    split_lines(text, result.lines);
    if (result.how == outcome::hung)
        return result;
    if (WIFEXITED(status)) {
        result.how = outcome::exited;
        result.code = (uint32_t)WEXITSTATUS(status);
    } else {
        result.how = outcome::faulted;
        result.code = (uint32_t)WTERMSIG(status);
        const char *abbrev = sigabbrev_np(WTERMSIG(status));
        result.fault = std::string("killed by SIG") + (abbrev ? abbrev : "?");
    }
    return result;
}

void prepare_child(void) {}

uint32_t exit_code_of(uint32_t status) { return status & 0xFF; }

// The layer has no exception dispatcher: it ends the process with the
// status instead.
bool platform_raises(void) { return false; }

bool run_thread(void (*fn)(void *), void *arg)
{
    struct start {
        void (*fn)(void *);
        void *arg;
    } s = {fn, arg};
    pthread_t thread;
    auto entry = [](void *p) -> void * {
        auto *s = static_cast<start *>(p);
        s->fn(s->arg);
        return nullptr;
    };
    if (pthread_create(&thread, nullptr, entry, &s) != 0)
        return false;
    return pthread_join(thread, nullptr) == 0;
}

void end_process(uint32_t code)
{
    fflush(stdout);
    _exit((int)code);
}
