#include "runtime/process_token.h"

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <mutex>
#include <signal.h>
#include <unistd.h>

namespace yf {

namespace {

// A small file of /proc, whole; empty when it cannot be read.
QByteArray readSmallFile(const char *path)
{
    QByteArray text;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buffer[1024];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, n);
    }
    ::close(fd);
    return text;
}

// The boot's id without its dashes, or empty without /proc.
QByteArray bootId()
{
    QByteArray id = readSmallFile("/proc/sys/kernel/random/boot_id").trimmed();
    id.replace('-', QByteArray());
    for (const char c : id) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return {};
    }
    return id;
}

const QByteArray &thisBootId()
{
    static const QByteArray id = bootId();
    return id;
}

QByteArray procStatPath(pid_t pid)
{
    char digits[24];
    const char *end = std::to_chars(digits, digits + sizeof digits, static_cast<long>(pid)).ptr;
    return QByteArray("/proc/") + QByteArray(digits, end - digits) + "/stat";
}

// The start time from a process's stat line: the 22nd field, counted past the name in
// parentheses (which may hold blanks and parentheses itself). Empty when it cannot be read.
QByteArray startTime(const char *statPath)
{
    const QByteArray stat = readSmallFile(statPath);
    const qsizetype nameEnd = stat.lastIndexOf(')');
    if (nameEnd < 0)
        return {};
    qsizetype at = nameEnd + 1;
    // After ")" come fields 3, 4, ...: skip 19 of them to reach the 22nd.
    for (int field = 3; field < 22; ++field) {
        at = stat.indexOf(' ', at + 1);
        if (at < 0)
            return {};
    }
    const qsizetype end = stat.indexOf(' ', at + 1);
    QByteArray value = stat.mid(at + 1, end < 0 ? -1 : end - at - 1).trimmed();
    for (const char c : value) {
        if (c < '0' || c > '9')
            return {};
    }
    return value;
}

bool isDigits(std::string_view text, bool hex)
{
    if (text.empty())
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (hex && c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

QByteArray startTime(pid_t pid) { return startTime(procStatPath(pid).constData()); }

// The token of `pid`, its start read from `statPath`.
QByteArray tokenOf(pid_t pid, const char *statPath)
{
    if (pid <= 0)
        return {};
    char digits[24];
    const char *end = std::to_chars(digits, digits + sizeof digits, static_cast<long>(pid)).ptr;
    const QByteArray id(digits, end - digits);
    const QByteArray &boot = thisBootId();
    const QByteArray started = boot.isEmpty() ? QByteArray() : startTime(statPath);
    if (!boot.isEmpty())
        return started.isEmpty() ? QByteArray() : id + '-' + started + '-' + boot;
    // No /proc to tell: the id alone, while something runs under it.
    if (::kill(pid, 0) != 0 && errno == ESRCH)
        return {};
    return id + "-0-0";
}

} // namespace

QByteArray processToken(pid_t pid) { return tokenOf(pid, procStatPath(pid).constData()); }

QByteArray ownProcessToken()
{
    // Cached per process id: a child forked from here reads its own on first use.
    static std::mutex mutex;
    static pid_t cachedFor = 0;
    static QByteArray cached;
    const pid_t self = ::getpid();
    const std::lock_guard lock(mutex);
    if (cachedFor != self) {
        // Its own stat by "self": under a /proc of another process namespace its id there differs.
        cached = tokenOf(self, "/proc/self/stat");
        if (cached.isEmpty())  // /proc hides even this process: the id alone
            cached = QByteArray::number(static_cast<long>(self)) + "-0-0";
        cachedFor = self;
    }
    return cached;
}

bool processMayRun(std::string_view token)
{
    const std::size_t firstDash = token.find('-');
    const std::size_t secondDash = firstDash == std::string_view::npos ? firstDash : token.find('-', firstDash + 1);
    if (secondDash == std::string_view::npos)
        return true;
    const std::string_view pidText = token.substr(0, firstDash);
    const std::string_view started = token.substr(firstDash + 1, secondDash - firstDash - 1);
    const std::string_view boot = token.substr(secondDash + 1);
    long pid = 0;
    const auto [pidEnd, pidError] = std::from_chars(pidText.data(), pidText.data() + pidText.size(), pid);
    if (pidError != std::errc() || pidEnd != pidText.data() + pidText.size() || pid <= 0 || !isDigits(started, false)
        || !isDigits(boot, true))
        return true;
    if (started == "0" && boot == "0")
        return !(::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH);
    // Made during another boot: its process has ended whatever runs under its id now.
    if (thisBootId().isEmpty())
        return true;  // this process cannot tell
    if (QByteArrayView(boot.data(), static_cast<qsizetype>(boot.size())) != thisBootId())
        return false;
    const QByteArray now = startTime(static_cast<pid_t>(pid));
    if (now.isEmpty())  // hidden from this user, or gone
        return !(::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH);
    return QByteArrayView(now) == QByteArrayView(started.data(), static_cast<qsizetype>(started.size()));
}

} // namespace yf
