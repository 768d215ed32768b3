// A program the benchmark starts and watches from outside: its CPU time, memory and output.
#include "child_process.h"

#include "measure.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace bench {

namespace {

double seconds(const timeval &t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

// Starts `program`; its standard output goes to `outputFd` when that is given.
bool spawn(const std::string &program, const std::vector<std::string> &arguments, int outputFd, pid_t &pid,
           std::string &error)
{
    std::vector<char *> argv;
    std::string argv0 = program;
    argv.push_back(argv0.data());
    std::vector<std::string> copies = arguments;
    for (std::string &argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outputFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
    const int failed = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        error = "Cannot start " + program + ": " + std::strerror(failed);
        return false;
    }
    return true;
}

int statusOf(int waitStatus) { return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1; }

std::string describe(int waitStatus)
{
    if (WIFEXITED(waitStatus))
        return "exited with status " + std::to_string(WEXITSTATUS(waitStatus));
    if (WIFSIGNALED(waitStatus))
        return std::string("was ended by signal ") + ::strsignal(WTERMSIG(waitStatus));
    return "stopped";
}

} // namespace

bool runToEnd(const std::string &program, const std::vector<std::string> &arguments, Finished &finished,
              std::string &error)
{
    pid_t pid = -1;
    const double start = wallSeconds();
    if (!spawn(program, arguments, -1, pid, error))
        return false;
    int waitStatus = 0;
    rusage usage{};
    while (::wait4(pid, &waitStatus, 0, &usage) < 0) {
        if (errno != EINTR) {
            error = std::string("Cannot wait for ") + program + ": " + std::strerror(errno);
            return false;
        }
    }
    finished.wallSeconds = wallSeconds() - start;
    finished.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    finished.exitStatus = statusOf(waitStatus);
    finished.peakResidentKiB = usage.ru_maxrss;
    return true;
}

ChildProcess::~ChildProcess()
{
    stop(2.0);
}

bool ChildProcess::start(const std::string &program, const std::vector<std::string> &arguments, std::string &error)
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        error = std::string("Cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    const bool started = spawn(program, arguments, pipeFds[1], m_pid, error);
    ::close(pipeFds[1]);
    if (!started) {
        ::close(pipeFds[0]);
        return false;
    }
    m_output = pipeFds[0];
    ::fcntl(m_output, F_SETFL, ::fcntl(m_output, F_GETFL) | O_NONBLOCK);
    return true;
}

int ChildProcess::readLines(bool &closed)
{
    closed = false;
    int lines = 0;
    char buffer[4096];
    for (;;) {
        const ssize_t got = m_output >= 0 ? ::read(m_output, buffer, sizeof buffer) : 0;
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return lines;  // EAGAIN: nothing more now
        if (got == 0) {
            closed = true;
            return lines;
        }
        m_partialLine.append(buffer, static_cast<std::size_t>(got));
        for (std::size_t end; (end = m_partialLine.find('\n')) != std::string::npos;) {
            m_partialLine.erase(0, end + 1);
            ++lines;
        }
    }
}

bool ChildProcess::cpuSeconds(double &seconds) const
{
    clockid_t clock;
    timespec t{};
    if (::clock_getcpuclockid(m_pid, &clock) == 0 && ::clock_gettime(clock, &t) == 0) {
        seconds = static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
        return true;
    }
    std::ifstream stat("/proc/" + std::to_string(m_pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text))
        return false;
    // The command name in parentheses may hold blanks; the fields after it are plain numbers.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return false;
    std::istringstream fields(text.substr(close + 2));
    std::string skipped;
    for (int field = 3; field < 14; ++field)  // state .. cmajflt
        fields >> skipped;
    long long user = 0, system = 0;
    if (!(fields >> user >> system))
        return false;
    seconds = static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    return true;
}

bool ChildProcess::memory(Memory &memory) const
{
    std::ifstream status("/proc/" + std::to_string(m_pid) + "/status");
    bool peak = false, resident = false;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0)
            peak = (memory.peakResidentKiB = std::atol(line.c_str() + 6)) > 0;
        else if (line.rfind("VmRSS:", 0) == 0)
            resident = (memory.residentKiB = std::atol(line.c_str() + 6)) > 0;
    }
    return peak && resident;
}

bool ChildProcess::hasEnded(std::string &how)
{
    if (m_pid < 0) {
        how = "was not running";
        return true;
    }
    int waitStatus = 0;
    const pid_t got = ::waitpid(m_pid, &waitStatus, WNOHANG);
    if (got == 0)
        return false;
    how = got == m_pid ? describe(waitStatus) : std::string("cannot be waited for: ") + std::strerror(errno);
    m_pid = -1;
    return true;
}

int ChildProcess::stop(double graceSeconds)
{
    int result = -1;
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        const double until = wallSeconds() + graceSeconds;
        int waitStatus = 0;
        pid_t got = 0;
        while ((got = ::waitpid(m_pid, &waitStatus, WNOHANG)) == 0 && wallSeconds() < until)
            ::poll(nullptr, 0, 10);
        if (got == 0) {
            ::kill(m_pid, SIGKILL);
            got = ::waitpid(m_pid, &waitStatus, 0);
        }
        if (got == m_pid)
            result = statusOf(waitStatus);
        m_pid = -1;
    }
    if (m_output >= 0) {
        ::close(m_output);
        m_output = -1;
    }
    return result;
}

} // namespace bench
