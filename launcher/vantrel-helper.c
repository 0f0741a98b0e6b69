/*
 * vantrel-helper: the launcher that runs the proxy core with the privileges TUN mode needs.
 *
 *   vantrel-helper <data_dir> <config_yaml>
 *
 * Linux: the launcher carries CAP_NET_ADMIN, CAP_NET_RAW and CAP_NET_BIND_SERVICE as file
 * capabilities and is never root. It starts "vantrel-core" from its own folder as the calling
 * user, with exactly those three capabilities (effective, permitted, inheritable and ambient)
 * and nothing else. macOS: the launcher is set-user-ID root and runs the core as root, which
 * the virtual interface needs there.
 *
 * Before anything starts, the arguments are checked: the data folder must be an absolute path
 * without links, "." or "..", a folder owned by the caller and not writable by group or others;
 * the configuration a regular file directly inside it, no link, owned by the caller and not
 * writable by group or others. The core runs with umask 077, in the data folder, with "-d
 * <data_dir> -f <config_yaml>", and keeps running for as long as the launcher's standard input
 * stays open. End of input stops the core (SIGTERM, then SIGKILL after about 2 s) and ends with
 * 0; a core that ends by itself ends the launcher with 3. SIGTERM and SIGINT are passed on.
 *
 * Exit statuses: 0 core stopped after end of input, 1 refused or failed before the core
 * started (one line on standard error says why), 2 usage, 3 the core ended on its own; the
 * child exits with 127 if the core cannot run.
 */
#if defined(__linux__)
#define _GNU_SOURCE
#else
#define _XOPEN_SOURCE 700
#endif

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/capability.h>
#include <linux/securebits.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif
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

/* The core must not inherit anything the caller chose: loader variables and the core's own
 * overrides would let the caller steer a process that holds network privileges. */
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

static void refuse(const char* path, const char* reason) {
    fprintf(stderr, "vantrel-helper: %s: %s\n", path, reason);
}

/* Descriptors 0-2 that the caller left closed are opened on /dev/null, so that nothing the
 * launcher opens later takes their place and reaches the core as its input or output. Every
 * other inherited descriptor is closed: the core gets none of the caller's. */
static int settle_descriptors(void) {
    for (int fd = 0; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        int opened = open("/dev/null", O_RDWR);
        if (opened != fd) /* the lowest free number, as the ones below are open */
            return -1;
    }
#if defined(__linux__)
    if (close_range(3, ~0U, 0) == 0)
        return 0;
#endif
    long limit = sysconf(_SC_OPEN_MAX);
    if (limit < 0 || limit > 65536)
        limit = 65536;
    for (int fd = 3; fd < (int)limit; ++fd)
        close(fd);
    return 0;
}

#if defined(O_PATH)
/* No read permission needed on the folders, and nothing is read through the descriptor. */
#define FOLDER_OPEN_FLAGS (O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
#else
#define FOLDER_OPEN_FLAGS (O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
#endif

static const char* folder_open_error(int error) {
    if (error == ELOOP || error == EMLINK)
        return "has a symbolic link in its path";
    if (error == ENOTDIR)
        return "is not a directory";
    return strerror(error);
}

/* Opens the data folder one component at a time, none of them a link, and accepts it only if
 * it belongs to the caller and nobody else can write to it. Returns the descriptor, or -1
 * after a one-line reason on standard error. */
static int open_data_folder(const char* path, uid_t caller) {
    char copy[PATH_BUFFER];
    if (strlen(path) >= sizeof copy) {
        refuse(path, "path is too long");
        return -1;
    }
    strcpy(copy, path);
    int fd = open("/", FOLDER_OPEN_FLAGS);
    if (fd < 0) {
        refuse("/", strerror(errno));
        return -1;
    }
    char* rest = copy + 1;
    while (*rest != '\0') {
        char* name = rest;
        char* slash = strchr(rest, '/');
        if (slash != NULL) {
            *slash = '\0';
            rest = slash + 1;
            if (*rest == '\0') /* a trailing separator */
                name = "";
        } else {
            rest += strlen(rest);
        }
        if (*name == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
            refuse(path, "is not a plain absolute path (empty, \".\" or \"..\" component)");
            close(fd);
            return -1;
        }
        int next = openat(fd, name, FOLDER_OPEN_FLAGS);
        int error = errno;
        /* O_DIRECTORY reports a link as "not a directory"; name it for what it is. */
        struct stat entry;
        if (next < 0 && error == ENOTDIR && fstatat(fd, name, &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(entry.st_mode))
            error = ELOOP;
        close(fd);
        if (next < 0) {
            refuse(path, folder_open_error(error));
            return -1;
        }
        fd = next;
    }
    struct stat info;
    const char* reason = NULL;
    if (fstat(fd, &info) < 0)
        reason = strerror(errno);
    else if (!S_ISDIR(info.st_mode))
        reason = "is not a directory";
    else if (info.st_uid != caller)
        reason = "is not owned by the caller";
    else if (info.st_mode & (S_IWGRP | S_IWOTH))
        reason = "is writable by group or others";
    if (reason != NULL) {
        refuse(path, reason);
        close(fd);
        return -1;
    }
    return fd;
}

/* The configuration must be a file directly inside the data folder, opened from the folder's
 * descriptor without following a link. Returns 0, or -1 after a one-line reason. */
static int check_configuration(int folder_fd, const char* folder, const char* path, uid_t caller) {
    size_t length = strlen(folder);
    const char* name = path + length + 1;
    if (strncmp(path, folder, length) != 0 || path[length] != '/' || *name == '\0' ||
        strchr(name, '/') != NULL || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
        refuse(path, "is not directly inside the data folder");
        return -1;
    }
#if defined(O_PATH)
    /* Without following a link (O_PATH opens the link itself) and without read permission,
     * so that the owner check, not the permissions, decides. */
    int fd = openat(folder_fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
#else
    /* Non-blocking, so that a FIFO in its place cannot hold the launcher. */
    int fd = openat(folder_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
#endif
    if (fd < 0) {
        refuse(path, errno == ELOOP || errno == EMLINK ? "is a symbolic link" : strerror(errno));
        return -1;
    }
    struct stat info;
    const char* reason = NULL;
    if (fstat(fd, &info) < 0)
        reason = strerror(errno);
    else if (S_ISLNK(info.st_mode))
        reason = "is a symbolic link";
    else if (!S_ISREG(info.st_mode))
        reason = "is not a regular file";
    else if (info.st_uid != caller)
        reason = "is not owned by the caller";
    else if (info.st_mode & (S_IWGRP | S_IWOTH))
        reason = "is writable by group or others";
    close(fd);
    if (reason != NULL) {
        refuse(path, reason);
        return -1;
    }
    return 0;
}

#if defined(__linux__)
/* Bits 10, 12 and 13: all three lie in the first 32-bit word of a capability set. */
static const uint32_t tun_capabilities =
    (1u << CAP_NET_BIND_SERVICE) | (1u << CAP_NET_ADMIN) | (1u << CAP_NET_RAW);
static const int tun_capability_list[] = {CAP_NET_BIND_SERVICE, CAP_NET_ADMIN, CAP_NET_RAW};

static int capability_call(long number, struct __user_cap_data_struct data[2]) {
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    return (int)syscall(number, &header, data);
}

/* Leaves this process, and through the ambient set the core it executes, with exactly the
 * three network capabilities and the caller's own user and groups. Returns 0, or -1 after a
 * one-line reason. */
static int keep_only_tun_capabilities(void) {
    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    if (getresuid(&ruid, &euid, &suid) < 0 || getresgid(&rgid, &egid, &sgid) < 0) {
        perror("vantrel-helper: getresuid");
        return -1;
    }
    /* A set-user-ID or set-group-ID copy would run the core under someone else's identity. */
    if (euid != ruid || suid != ruid || egid != rgid || sgid != rgid) {
        fputs("vantrel-helper: must not be set-user-ID or set-group-ID; authorise TUN mode "
              "again\n",
              stderr);
        return -1;
    }
    struct __user_cap_data_struct sets[2];
    memset(sets, 0, sizeof sets);
    if (capability_call(SYS_capget, sets) < 0) {
        perror("vantrel-helper: capget");
        return -1;
    }
    if ((sets[0].permitted & tun_capabilities) != tun_capabilities) {
        fputs("vantrel-helper: not authorised for TUN mode (the network capabilities are "
              "missing)\n",
              stderr);
        return -1;
    }
    if (ruid == 0) {
        /* Executed by root, the core would get every capability back; with NOROOT it keeps
         * only its ambient set. The bounding set loses the rest as well. */
        for (int cap = 0; cap < 64; ++cap) {
            if (cap < 32 && (tun_capabilities & (1u << cap)))
                continue;
            if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) < 0 && errno != EINVAL) {
                perror("vantrel-helper: PR_CAPBSET_DROP");
                return -1;
            }
        }
        if (prctl(PR_SET_SECUREBITS, SECBIT_NOROOT | SECBIT_NOROOT_LOCKED, 0, 0, 0) < 0) {
            perror("vantrel-helper: PR_SET_SECUREBITS");
            return -1;
        }
    }
    memset(sets, 0, sizeof sets);
    sets[0].effective = sets[0].permitted = sets[0].inheritable = tun_capabilities;
    if (capability_call(SYS_capset, sets) < 0) {
        perror("vantrel-helper: capset");
        return -1;
    }
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) < 0) {
        perror("vantrel-helper: PR_CAP_AMBIENT");
        return -1;
    }
    for (size_t i = 0; i < sizeof tun_capability_list / sizeof tun_capability_list[0]; ++i) {
        if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, tun_capability_list[i], 0, 0) < 0) {
            perror("vantrel-helper: PR_CAP_AMBIENT");
            return -1;
        }
    }
    return 0;
}
#endif

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
    if (settle_descriptors() < 0)
        return EXIT_FAILED;
    if (argc != 3 || argv[1][0] != '/' || argv[2][0] != '/') {
        fwrite(usage_text, 1, sizeof usage_text - 1, stderr);
        return EXIT_USAGE;
    }
    const char* data_dir = argv[1];
    const char* config = argv[2];

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

    /* The caller is whoever started the launcher: its real user ID. */
    uid_t caller = getuid();
    int data_fd = open_data_folder(data_dir, caller);
    if (data_fd < 0 || check_configuration(data_fd, data_dir, config, caller) < 0)
        return EXIT_FAILED;
    int core_fd = open_trusted_core(core_path);
    if (core_fd < 0)
        return EXIT_FAILED;

#if defined(__linux__)
    if (keep_only_tun_capabilities() < 0)
        return EXIT_FAILED;
#else
    if (setuid(0) < 0) {
        perror("setuid");
        return EXIT_FAILED;
    }
    if (setgid(0) < 0) {
        perror("setuid");
        return EXIT_FAILED;
    }
#endif

    /* Whatever the core writes stays the user's alone, and relative paths stay inside the
     * data folder. */
    umask(077);
    if (fchdir(data_fd) < 0) {
        perror("vantrel-helper: fchdir");
        return EXIT_FAILED;
    }
    close(data_fd);

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
