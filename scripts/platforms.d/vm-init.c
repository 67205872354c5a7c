/* The init of the matrix's virtual machine: runs each program named in
 * /programs (one a line, in /ostrevin/), prints its output between marker
 * lines on the console, then powers the machine off.
 *
 *   ==== begin NAME
 *   <the program's standard output, byte for byte>
 *   ==== stderr NAME
 *   <its standard error>
 *   ==== end NAME STATUS
 *
 * STATUS is the exit status, or 128 + the signal that ended it. Built
 * static (gcc -m32 -static): the machine has nothing else. */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

static void say(const char *text)
{
    if (write(1, text, strlen(text)) < 0) {
        /* nowhere else to report it */
    }
}

static void copy_file(const char *path)
{
    char buffer[4096];
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return;
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        if (write(1, buffer, (size_t)n) != n)
            break;
    close(fd);
}

static int run(const char *name)
{
    char path[256], line[320];
    snprintf(path, sizeof path, "/ostrevin/%s", name);
    snprintf(line, sizeof line, "==== begin %s\n", name);
    say(line);
    pid_t pid = fork();
    if (pid == 0) {
        int err = open("/stderr", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (err >= 0)
            dup2(err, 2);
        char *argv[] = { path, NULL };
        char *envp[] = { "PATH=/ostrevin", NULL };
        execve(path, argv, envp);
        _exit(127);
    }
    int status = 0, code = 127;
    if (pid > 0 && waitpid(pid, &status, 0) == pid)
        code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    snprintf(line, sizeof line, "==== stderr %s\n", name);
    say(line);
    copy_file("/stderr");
    snprintf(line, sizeof line, "==== end %s %d\n", name, code);
    say(line);
    return code;
}

int main(void)
{
    mkdir("/dev", 0755);
    mount("devtmpfs", "/dev", "devtmpfs", 0, NULL);
    mkdir("/proc", 0755);
    mount("proc", "/proc", "proc", 0, NULL);
    int console = open("/dev/console", O_RDWR);
    if (console >= 0) {
        dup2(console, 0);
        dup2(console, 1);
        dup2(console, 2);
    }
    /* The programs' bytes as they are: no CR added before each LF. */
    struct termios mode;
    if (tcgetattr(1, &mode) == 0) {
        mode.c_oflag &= ~(tcflag_t)OPOST;
        tcsetattr(1, TCSANOW, &mode);
    }
    FILE *list = fopen("/programs", "r");
    char name[200];
    while (list && fgets(name, sizeof name, list)) {
        name[strcspn(name, "\n")] = '\0';
        if (name[0])
            run(name);
    }
    say("==== done\n");
    sync();
    reboot(RB_POWER_OFF);
    return 0;
}
