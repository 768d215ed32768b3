// A program the benchmark starts and watches from outside: its CPU time, memory and output.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace bench {

// What a finished program cost, from wait4.
struct Finished {
    int exitStatus = -1;      // -1 when a signal ended it
    double wallSeconds = 0;
    double cpuSeconds = 0;    // user + system, threads included
    long peakResidentKiB = 0;
};

// Runs `program` with `arguments` to its end, its standard streams those of the benchmark.
[[nodiscard]] bool runToEnd(const std::string &program, const std::vector<std::string> &arguments,
                            Finished &finished, std::string &error);

// What /proc says of a running process's memory, in KiB.
struct Memory {
    long peakResidentKiB = 0;  // VmHWM
    long residentKiB = 0;      // VmRSS
};

// A program running beside the benchmark, its standard output read through a pipe. Stopped
// (SIGTERM, then SIGKILL) and reaped when destroyed.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;
    ~ChildProcess();

    [[nodiscard]] bool start(const std::string &program, const std::vector<std::string> &arguments,
                             std::string &error);
    pid_t pid() const { return m_pid; }
    // Readable when the program has written to its standard output (or closed it).
    int outputFd() const { return m_output; }
    // Reads what is there without waiting; the number of complete lines it held. A closed
    // pipe sets `closed`.
    int readLines(bool &closed);

    // User + system time of the whole process so far, threads that ended included. From the
    // process's CPU clock (nanoseconds) where the system offers it, else /proc/PID/stat's ticks.
    [[nodiscard]] bool cpuSeconds(double &seconds) const;
    [[nodiscard]] bool memory(Memory &memory) const;
    // Whether the process has ended (it is reaped then); `how` says how.
    bool hasEnded(std::string &how);
    // SIGTERM, and SIGKILL after `graceSeconds`; the exit status, -1 after a signal.
    int stop(double graceSeconds);

private:
    pid_t m_pid = -1;
    int m_output = -1;
    std::string m_partialLine;
};

} // namespace bench
