// fg-measure: runs one command and reports, as key=value lines on standard output, its wall
// time from spawn to exit, its peak resident memory, and when chosen texts first appeared in
// its output. Timing from outside treats our programs and their peers alike; a line read from
// a pipe arrives within microseconds of being written, far below what the rows measure.
//
//   fg-measure [--log FILE] [--mark NAME=TEXT]... [--stop-at NAME] [--timeout SECONDS]
//              [--release FILE [--release-at NAME]] -- COMMAND [ARG]...
//
// The command's standard output and error go to FILE (or nowhere). Lines it prints that begin
// with "bench: " are echoed without that prefix, so a program can report its own figures.
// --stop-at sends SIGTERM once the mark NAME was seen; that ending counts as success.
// --release deletes FILE just before the command starts (or once the mark NAME was seen). On a
// virtual machine that hands free memory back to its host, a page touched again costs a host
// fault, several times the copy into it; a large file written just before and deleted here gives
// the command pages the host still backs, whichever tool it is (bench/run explains).
// Exit status: 0 when the command succeeded, 1 otherwise (the reason on standard error).

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

struct Mark {
    std::string name;
    std::string text;
    double atMs = -1;
};

double nowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

[[noreturn]] void usage()
{
    std::fputs("usage: fg-measure [--log FILE] [--mark NAME=TEXT]... [--stop-at NAME] "
               "[--timeout SECONDS] [--release FILE [--release-at NAME]] -- COMMAND [ARG]...\n",
               stderr);
    std::exit(2);
}

class LineScanner {
public:
    LineScanner(std::vector<Mark> &marks, FILE *log, double start)
        : m_marks(marks), m_log(log), m_start(start)
    {
    }

    void feed(const char *data, size_t size)
    {
        if (m_log)
            std::fwrite(data, 1, size, m_log);
        const double at = nowMs() - m_start;
        for (size_t i = 0; i < size; ++i) {
            if (data[i] == '\n') {
                line(at);
                m_line.clear();
            } else {
                m_line.push_back(data[i]);
            }
        }
    }

    void flush()
    {
        if (!m_line.empty())
            line(nowMs() - m_start);
        m_line.clear();
    }

    bool seen(const std::string &name) const
    {
        for (const Mark &mark : m_marks) {
            if (mark.name == name)
                return mark.atMs >= 0;
        }
        return false;
    }

private:
    void line(double at)
    {
        for (Mark &mark : m_marks) {
            if (mark.atMs < 0 && m_line.find(mark.text) != std::string::npos)
                mark.atMs = at;
        }
        static const std::string prefix = "bench: ";
        if (m_line.compare(0, prefix.size(), prefix) == 0)
            std::printf("%s\n", m_line.c_str() + prefix.size());
    }

    std::vector<Mark> &m_marks;
    FILE *m_log;
    double m_start;
    std::string m_line;
};

} // namespace

int main(int argc, char *argv[])
{
    std::vector<Mark> marks;
    std::string logPath;
    std::string stopAt;
    std::string releaseFile;
    std::string releaseAt;
    double timeoutMs = 600e3;
    int first = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage();
            return argv[++i];
        };
        if (arg == "--") {
            first = i + 1;
            break;
        }
        if (arg == "--log") {
            logPath = value();
        } else if (arg == "--mark") {
            const std::string mark = value();
            const size_t eq = mark.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == mark.size())
                usage();
            marks.push_back({mark.substr(0, eq), mark.substr(eq + 1)});
        } else if (arg == "--stop-at") {
            stopAt = value();
        } else if (arg == "--release") {
            releaseFile = value();
        } else if (arg == "--release-at") {
            releaseAt = value();
        } else if (arg == "--timeout") {
            timeoutMs = std::atof(value().c_str()) * 1e3;
        } else {
            usage();
        }
    }
    if (first < 0 || first >= argc)
        usage();

    FILE *log = nullptr;
    if (!logPath.empty()) {
        log = std::fopen(logPath.c_str(), "w");
        if (!log) {
            std::fprintf(stderr, "fg-measure: cannot write %s: %s\n", logPath.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        std::perror("fg-measure: pipe");
        return 1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group, so a time-out can end a shell and everything it started.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);

    bool released = false;
    const auto release = [&] {
        if (!released && !releaseFile.empty() && unlink(releaseFile.c_str()) != 0)
            std::fprintf(stderr, "fg-measure: cannot delete %s: %s\n", releaseFile.c_str(),
                         std::strerror(errno));
        released = true;
    };
    if (releaseAt.empty())
        release();

    const double start = nowMs();
    pid_t child = 0;
    const int spawned =
        posix_spawnp(&child, argv[first], &actions, &attributes, argv + first, environ);
    close(out[1]);
    if (spawned != 0) {
        std::fprintf(stderr, "fg-measure: cannot start %s: %s\n", argv[first],
                     std::strerror(spawned));
        return 1;
    }
    // A descriptor that turns readable when the child exits, so its end is timed exactly
    // and not at the next poll interval.
    const int exitFd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    if (exitFd < 0) {
        std::perror("fg-measure: pidfd_open");
        kill(child, SIGKILL);
        return 1;
    }

    LineScanner scanner(marks, log, start);
    bool stopSent = false;
    bool timedOut = false;
    bool pipeOpen = true;
    double endMs = -1;
    char buffer[65536];
    while (endMs < 0) {
        const double left = timeoutMs - (nowMs() - start);
        if (left <= 0 && !timedOut) {
            timedOut = true;
            kill(-child, SIGKILL);
        }
        pollfd fds[2] = {{exitFd, POLLIN, 0}, {out[0], POLLIN, 0}};
        const int ready = poll(fds, pipeOpen ? 2 : 1, timedOut ? 1000 : static_cast<int>(left) + 1);
        if (ready < 0 && errno != EINTR) {
            std::perror("fg-measure: poll");
            break;
        }
        if (pipeOpen && (fds[1].revents & (POLLIN | POLLHUP))) {
            const ssize_t got = read(out[0], buffer, sizeof buffer);
            if (got > 0)
                scanner.feed(buffer, static_cast<size_t>(got));
            else if (got == 0)
                pipeOpen = false;
        }
        if (!released && scanner.seen(releaseAt))
            release();
        if (!stopSent && !stopAt.empty() && scanner.seen(stopAt)) {
            stopSent = true;
            kill(child, SIGTERM);
        }
        if (fds[0].revents & POLLIN)
            endMs = nowMs() - start;
    }

    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    // What the child wrote just before it ended; a grandchild that keeps the pipe open must not
    // hold us, so read only what is there.
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    for (;;) {
        const ssize_t got = read(out[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        scanner.feed(buffer, static_cast<size_t>(got));
    }
    scanner.flush();
    release();
    if (log)
        std::fclose(log);

    std::printf("wall_ms=%.3f\n", endMs);
    std::printf("rss_kib=%ld\n", usage.ru_maxrss);
    for (const Mark &mark : marks) {
        if (mark.atMs >= 0)
            std::printf("%s_ms=%.3f\n", mark.name.c_str(), mark.atMs);
        else
            std::printf("%s_ms=-\n", mark.name.c_str());
    }

    bool ok = false;
    if (timedOut) {
        std::fprintf(stderr, "fg-measure: %s timed out\n", argv[first]);
    } else if (WIFEXITED(status)) {
        ok = WEXITSTATUS(status) == 0;
        if (!ok)
            std::fprintf(stderr, "fg-measure: %s exited with %d\n", argv[first],
                         WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
        ok = stopSent && WTERMSIG(status) == SIGTERM;
        if (!ok)
            std::fprintf(stderr, "fg-measure: %s ended by signal %d\n", argv[first],
                         WTERMSIG(status));
    }
    if (ok && !stopAt.empty() && !stopSent) {
        std::fprintf(stderr, "fg-measure: %s ended before its mark %s\n", argv[first],
                     stopAt.c_str());
        ok = false;
    }
    std::fflush(stdout);
    return ok ? 0 : 1;
}
