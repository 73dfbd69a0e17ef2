#include "kernellog.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "log.h"

extern char** environ;

namespace {
constexpr char ESC = 0x1b;
constexpr std::size_t READ_SIZE = 256;
// A run of digits longer than any colour code cannot be one; stop counting so that the number cannot
// overflow.
constexpr int CODE_CEILING = 100000;

// Kernel text holds whatever any program wrote to the log, a request's script name included: as markup it
// would run at the device's own origin. Only the spans the conversion adds are markup; in the text, these
// three are all that HTML content needs escaped.
void appendText(std::string& out, char const* from, char const* to) {
    while (from != to) {
        char const* special = std::find_if(from, to, [](char c) { return c == '&' || c == '<' || c == '>'; });
        out.append(from, special);
        if (special == to)
            return;
        out += *special == '&' ? "&amp;" : *special == '<' ? "&lt;" : "&gt;";
        from = special + 1;
    }
}
} // namespace

KernelLog::KernelLog(EventPoll& poll) : poll(poll) {}

KernelLog::~KernelLog() {
    if (pid > 0) {
        kill(pid, SIGTERM);
        // Reaped here so that no zombie outlives the handler; dmesg ends at once on SIGTERM.
        waitpid(pid, nullptr, 0);
    }
    if (fd >= 0) {
        poll.remove(fd);
        ::close(fd);
    }
}

void KernelLog::init() {
    fd = popen("dmesg --color=always -w", pid);
    poll.add(fd, this, EPOLLIN);
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int KernelLog::popen(char const* command, int& childPid) {
    int fds[2];
    // Close-on-exec keeps the service's sockets out of the child; dup2 clears it on the child's stdout.
    if (pipe2(fds, O_CLOEXEC) != 0)
        THROW_ERROR_NUMBER("pipe");
    // Until it has reset them, the child has the service's signal handlers: a SIGTERM from the destructor in
    // that moment would only set the service's flag in the child, and the shell it becomes would then never
    // end (the destructor waits for it). So signals stay blocked across the fork, and the child restores the
    // default actions (SIGPIPE too, which the service ignores) before it takes any.
    sigset_t all, previous;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &previous);
    pid_t forked = fork();
    if (forked != 0) {
        int forkError = errno;
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        if (forked < 0) {
            ::close(fds[0]);
            ::close(fds[1]);
            errno = forkError;
            THROW_ERROR_NUMBER("fork");
        }
        ::close(fds[1]);
        childPid = forked;
        return fds[0];
    }
    for (int sig = 1; sig < NSIG; ++sig)
        signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    ::close(fds[0]);
    if (fds[1] != STDOUT_FILENO) {
        dup2(fds[1], STDOUT_FILENO);
        ::close(fds[1]);
    }
    char const* argv[] = {"sh", "-c", command, nullptr};
    execve("/bin/sh", const_cast<char* const*>(argv), environ);
    _exit(127);
}

void KernelLog::event(EventPoll::EventType type) {
    if (type != EventPoll::Hangup) {
        parseData();
        return;
    }
    // The writer is gone, but what it wrote before is still in the pipe.
    parseData();
    if (!hungUp) {
        hungUp = true;
        LOG(Warn, "dmesg exited, no more log output for web gui.");
    }
    // Closed now rather than at destruction: a hung-up pipe stays ready and would make the poll spin.
    poll.remove(fd);
    ::close(fd);
    fd = -1;
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == pid)
        pid = 0;
}

void KernelLog::parseData() {
    if (fd < 0)
        return;
    char chunk[READ_SIZE];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0)
            return;
        convert(chunk, strnlen(chunk, static_cast<std::size_t>(n)));
        if (static_cast<std::size_t>(n) != READ_SIZE)
            return;
    }
}

std::string KernelLog::getColor(int colour, char const* on, char const* off) {
    std::string digits;
    digits += (colour & 1) ? on : off;
    digits += (colour & 2) ? on : off;
    digits += (colour & 4) ? on : off;
    return digits;
}

void KernelLog::appendStyle() {
    if (code >= 30 && code <= 37)
        buffer += "color: #" + getColor(code - 30, "AA", "00");
    else if (code >= 40 && code <= 47)
        buffer += "background-color: #" + getColor(code - 40, "AA", "00");
    else if (code >= 90 && code <= 97)
        buffer += "color: #" + getColor(code - 90, "FF", "55");
    else if (code >= 100 && code <= 107)
        buffer += "background-color: #" + getColor(code - 100, "FF", "55");
}

void KernelLog::convert(char const* text, std::size_t length) {
    convertPiece(text, length);
    trim();
}

void KernelLog::trim() {
    if (buffer.size() <= Constants::LOG_KEPT_SIZE)
        return;
    std::size_t cut = buffer.size() - (Constants::LOG_KEPT_SIZE - Constants::LOG_TRIM_STEP);
    std::size_t line = buffer.find('\n', cut);
    if (line != std::string::npos)
        cut = line + 1;
    buffer.erase(0, cut);
    dropped += cut;
}

void KernelLog::convertPiece(char const* text, std::size_t length) {
    char const* p = text;
    char const* end = text + length;
    if (!pendingEscape) {
        char const* esc = std::find(p, end, ESC);
        appendText(buffer, p, esc);
        if (esc == end)
            return;
        code = 0;
        pendingEscape = esc;
        pendingIntroducer = true;
        p = esc + 1;
    }
    for (;;) {
        if (pendingIntroducer) {
            if (p == end)
                return;
            ++p;
            pendingIntroducer = false;
        }
        while (p != end && *p >= '0' && *p <= '9') {
            if (code < CODE_CEILING)
                code = code * 10 + (*p - '0');
            ++p;
        }
        if (p == end) {
            pendingEscape = text; // continues with the next read
            return;
        }
        if (*p == 'm') {
            if (code == 0) {
                buffer += "</span>";
            } else {
                buffer += "<span style='";
                appendStyle();
                buffer += "'>";
            }
        }
        ++p;
        pendingEscape = nullptr;
        char const* esc = std::find(p, end, ESC);
        appendText(buffer, p, esc);
        if (esc == end)
            return;
        code = 0;
        pendingEscape = esc;
        pendingIntroducer = true;
        p = esc + 1;
    }
}
