// What the command line shows while a run works, and how a stop signal reaches the run.
#pragma once

#include "runtime/run_observer.h"

#include <QByteArray>
#include <QString>

#include <chrono>

namespace yf::cli {

// Shows one progress line on a terminal, rewritten in place ("Scanning folders… N found",
// "Writing feeds… k of N"), and asks the run to stop once a stop signal has arrived.
// Without a terminal it shows nothing. The line is redrawn at most every tenth of a
// second, and always at the start of each phase and at its last feed.
class CommandLineObserver final : public RunObserver {
public:
    // `fd` is where the line goes (standard error); `show` is false when it is no terminal.
    CommandLineObserver(int fd, bool show);

    void foldersFound(qsizetype count) override;
    void feedWritten(qsizetype done, qsizetype total) override;
    bool cancelRequested() const override;

    // Clears the progress line, so the run's own message starts on a clean line.
    void clear();

private:
    void draw(const QString &text, bool force);

    int m_fd;
    bool m_show;
    bool m_drawn = false;
    bool m_writing = false;
    std::chrono::steady_clock::time_point m_last{};
};

} // namespace yf::cli
