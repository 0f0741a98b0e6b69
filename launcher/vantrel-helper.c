/*
 * vantrel-helper: the set-user-ID launcher that runs the proxy core as root in TUN mode.
 *
 *   vantrel-helper <data_dir> <config_yaml>
 *
 * Becomes fully root, starts "vantrel-core" from its own folder with "-d <data_dir> -f
 * <config_yaml>", and keeps it running for as long as its standard input stays open. End of
 * input stops the core (SIGTERM, then SIGKILL after about 2 s) and ends with 0; a core that
 * ends by itself ends the launcher with 3. SIGTERM and SIGINT are passed on to the core.
 *
 * Exit statuses: 0 core stopped after end of input, 1 failure before the core started,
 * 2 usage, 3 the core ended on its own; the child exits with 127 if the core cannot run.
 */
#define _XOPEN_SOURCE 700

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

enum { PATH_BUFFER = 4096, INPUT_BUFFER = 16, STOP_CHECKS = 20 };

enum {
    EXIT_STOPPED = 0,
    EXIT_FAILED = 1,
    EXIT_USAGE = 2,
    EXIT_CORE_ENDED = 3,
    EXIT_EXEC_FAILED = 127
};

static const char usage_text[] = "Usage: vantrel-helper <data_dir> <config_yaml>\n";

/* The root core must not inherit anything the caller chose: loader variables and the core's
 * own overrides would let any local account steer a root process. */
static char* const core_environment[] = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", NULL};

/* Read by the forwarding handler; -1 while there is no child to signal. */
static volatile sig_atomic_t child_pid = -1;

/* SIGCHLD writes one byte here so that the input wait also wakes when the core ends. */
static int child_pipe[2] = {-1, -1};

static void forward_signal(int signo) {
    int saved = errno;
    pid_t pid = (pid_t)child_pid;
    if (pid >= 1)
        kill(pid, signo);
    errno = saved;
}

static void note_child_change(int signo) {
    (void)signo;
    int saved = errno;
    char byte = 0;
    (void)!write(child_pipe[1], &byte, 1);
    errno = saved;
}

static int install_handler(int signo, void (*handler)(int), int flags) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    return sigaction(signo, &action, NULL);
}

static int set_fd_flag(int fd, int get, int set, int flag) {
    int flags = fcntl(fd, get);
    return flags < 0 ? -1 : fcntl(fd, set, flags | flag);
}

/* Reaps the core if it has ended. Forwarding is held back meanwhile, so a signal can never
 * reach a process that took over the reaped core's id. Returns 1 once the core is gone. */
static int reap_core(int options) {
    sigset_t forwarded, previous;
    sigemptyset(&forwarded);
    sigaddset(&forwarded, SIGTERM);
    sigaddset(&forwarded, SIGINT);
    sigprocmask(SIG_BLOCK, &forwarded, &previous);

    int status;
    pid_t result;
    do
        result = waitpid((pid_t)child_pid, &status, options);
    while (result < 0 && errno == EINTR);
    int gone = result == (pid_t)child_pid || (result < 0 && errno == ECHILD);
    if (gone)
        child_pid = -1;

    sigprocmask(SIG_SETMASK, &previous, NULL);
    return gone;
}

static void sleep_100ms(void) {
    struct timespec left = {0, 100 * 1000 * 1000};
    while (nanosleep(&left, &left) < 0 && errno == EINTR) {
    }
}

/* The launcher's real path, so that a link to it elsewhere never picks up a core beside the
 * link. */
static int own_path(char* buffer, size_t size) {
#if defined(__linux__)
    ssize_t length = readlink("/proc/self/exe", buffer, size - 1);
    if (length < 0 || (size_t)length >= size - 1)
        return -1;
    buffer[length] = '\0';
    return 0;
#else
#if defined(__APPLE__)
    char reported[PATH_BUFFER];
    uint32_t reported_size = sizeof reported;
    if (_NSGetExecutablePath(reported, &reported_size) != 0)
        return -1;
    char* resolved = realpath(reported, NULL);
#else
    (void)buffer;
    char* resolved = NULL;
#endif
    if (resolved == NULL)
        return -1;
    int fits = strlen(resolved) < size;
    if (fits)
        strcpy(buffer, resolved);
    free(resolved);
    return fits ? 0 : -1;
#endif
}

/* Opens the core without following a link and accepts it only if nobody but root can have put
 * it there. The descriptor is what gets executed, so the file cannot be swapped in between.
 * Returns the descriptor, or -1 after a one-line reason on standard error. */
static int open_trusted_core(const char* path) {
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP || errno == EMLINK)
            fprintf(stderr, "vantrel-helper: %s is a symbolic link\n", path);
        else
            fprintf(stderr, "vantrel-helper: %s: %s\n", path, strerror(errno));
        return -1;
    }
    struct stat info;
    const char* reason = NULL;
    if (fstat(fd, &info) < 0)
        reason = strerror(errno);
    else if (!S_ISREG(info.st_mode))
        reason = "is not a regular file";
    else if (info.st_uid != 0)
        reason = "is not owned by root";
    else if (info.st_mode & (S_IWGRP | S_IWOTH))
        reason = "is writable by group or others";
    if (reason != NULL) {
        fprintf(stderr, "vantrel-helper: %s %s\n", path, reason);
        close(fd);
        return -1;
    }
    return fd;
}

static void run_core(int core_fd, char* const argv[]) {
    fexecve(core_fd, argv, core_environment);
    /* A script run through a descriptor is read back by its interpreter as /dev/fd/N, which
     * close-on-exec would have closed by then; only in that case is the descriptor kept open. */
    if (errno == ENOENT) {
        int flags = fcntl(core_fd, F_GETFD);
        if (flags >= 0 && fcntl(core_fd, F_SETFD, flags & ~FD_CLOEXEC) == 0)
            fexecve(core_fd, argv, core_environment);
    }
    perror("execv");
    _exit(EXIT_EXEC_FAILED);
}

/* Waits for end of input, discarding whatever arrives. Returns 1 at end of input (or a read
 * error) and 0 if the core ended first. */
static int wait_for_end_of_input(void) {
    struct pollfd watched[2] = {{.fd = STDIN_FILENO, .events = POLLIN},
                                {.fd = child_pipe[0], .events = POLLIN}};
    char input[INPUT_BUFFER];
    for (;;) {
        if (poll(watched, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if (watched[1].revents != 0) {
            char drained[INPUT_BUFFER];
            while (read(child_pipe[0], drained, sizeof drained) > 0) {
            }
            if (reap_core(WNOHANG))
                return 0;
        }
        if (watched[0].revents != 0) {
            ssize_t count = read(STDIN_FILENO, input, sizeof input);
            if (count == 0)
                return 1;
            if (count < 0 && errno != EINTR && errno != EAGAIN)
                return 1;
        }
    }
}

int main(int argc, char* argv[]) {
    if (argc != 3 || argv[1][0] != '/' || argv[2][0] != '/') {
        fwrite(usage_text, 1, sizeof usage_text - 1, stderr);
        return EXIT_USAGE;
    }

    char executable[PATH_BUFFER];
    if (own_path(executable, sizeof executable) < 0) {
        fputs("Failed to resolve executable path\n", stderr);
        return EXIT_FAILED;
    }
    char core_path[PATH_BUFFER];
    int length = snprintf(core_path, sizeof core_path, "%s/vantrel-core", dirname(executable));
    if (length < 0 || (size_t)length >= sizeof core_path) {
        fputs("vantrel-helper: path of vantrel-core is too long\n", stderr);
        return EXIT_FAILED;
    }

    if (setuid(0) < 0) {
        perror("setuid");
        return EXIT_FAILED;
    }
    if (setgid(0) < 0) {
        perror("setuid");
        return EXIT_FAILED;
    }

    int core_fd = open_trusted_core(core_path);
    if (core_fd < 0)
        return EXIT_FAILED;

    if (pipe(child_pipe) < 0 || set_fd_flag(child_pipe[0], F_GETFD, F_SETFD, FD_CLOEXEC) < 0 ||
        set_fd_flag(child_pipe[1], F_GETFD, F_SETFD, FD_CLOEXEC) < 0 ||
        set_fd_flag(child_pipe[0], F_GETFL, F_SETFL, O_NONBLOCK) < 0 ||
        set_fd_flag(child_pipe[1], F_GETFL, F_SETFL, O_NONBLOCK) < 0 ||
        install_handler(SIGCHLD, note_child_change, SA_RESTART | SA_NOCLDSTOP) < 0) {
        perror("pipe");
        return EXIT_FAILED;
    }

    pid_t pid = fork();
    child_pid = pid;
    if (pid < 0) {
        perror("fork");
        return EXIT_FAILED;
    }
    if (pid == 0) {
        char* core_argv[] = {core_path, "-d", argv[1], "-f", argv[2], NULL};
        run_core(core_fd, core_argv);
    }
    close(core_fd);

    install_handler(SIGTERM, forward_signal, SA_RESTART);
    install_handler(SIGINT, forward_signal, SA_RESTART);

    if (!wait_for_end_of_input())
        return EXIT_CORE_ENDED;

    kill(pid, SIGTERM);
    for (int check = 0; check < STOP_CHECKS; ++check) {
        if (reap_core(WNOHANG))
            return EXIT_STOPPED;
        sleep_100ms();
    }
    kill(pid, SIGKILL);
    reap_core(0);
    return EXIT_STOPPED;
}
