#include "cli/progress.h"

#include "cli/stop_signals.h"
#include "generate/run_messages.h"

#include <unistd.h>

namespace yf::cli {

namespace {

constexpr std::chrono::milliseconds kRedrawEvery{100};

// "\r" goes back to the line's start, "ESC [ K" clears what an earlier, longer text left.
const QByteArray kClearLine = QByteArrayLiteral("\r\x1b[K");

void writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n <= 0)
            return;  // a progress line is not worth failing the run for
        done += n;
    }
}

} // namespace

CommandLineObserver::CommandLineObserver(int fd, bool show) : m_fd(fd), m_show(show) {}

void CommandLineObserver::foldersFound(qsizetype count)
{
    draw(scanningText(count), count == 1);
}

void CommandLineObserver::feedWritten(qsizetype done, qsizetype total)
{
    const bool phaseStarts = !m_writing;
    m_writing = true;
    draw(writingText(done, total), phaseStarts || done == total);
}

bool CommandLineObserver::cancelRequested() const { return stopSignal() != 0; }

void CommandLineObserver::clear()
{
    if (m_drawn)
        writeAll(m_fd, kClearLine);
    m_drawn = false;
    m_writing = false;
}

void CommandLineObserver::draw(const QString &text, bool force)
{
    if (!m_show)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && m_drawn && now - m_last < kRedrawEvery)
        return;
    m_last = now;
    m_drawn = true;
    writeAll(m_fd, kClearLine + text.toUtf8());
}

} // namespace yf::cli
