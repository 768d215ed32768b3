// The main window tests' shared set-up: a small tree, the settings file and the window.
#pragma once

#include "app/main_window.h"
#include "fixture.h"
#include "window_testing.h"

#include <QDir>
#include <QTemporaryDir>

#include <memory>

class MainWindowFixture : public QObject {
protected:
    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_root, m_settings, m_startDir;
    window_testing::SlowClock m_clock;
    QStringList m_opened;        // folders handed to the file browser
    bool m_browserStarts = true;

    std::unique_ptr<yf::MainWindow> openWindow(QStringList *startupBoxes = nullptr)
    {
        return window_testing::openWindow(
            m_settings, m_clock,
            [this](const QString &folder) {
                m_opened << folder;
                return m_browserStarts;
            },
            startupBoxes);
    }

    void writeSettings(const QString &input, const QString &output)
    {
        fixture::makeTree(m_root, {"config.ini=[RESTORE]\nInputDir=" + input + "\nOutputDir=" + output + "\n"});
    }

    static QStringList feedLinks(const QString &feedFile)
    {
        QStringList links;
        for (const QByteArray &line : fixture::readFile(feedFile).split('\n')) {
            if (line.startsWith("<link>"))
                links << QString::fromUtf8(line.trimmed().mid(6).chopped(7));
        }
        return links;
    }

    void setUpTree()
    {
        m_tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_tmp->isValid());
        m_root = m_tmp->path();
        m_settings = m_root + "/config.ini";
        m_opened.clear();
        m_browserStarts = true;
        fixture::makeTree(m_root, {"cwd/", "out/", "in/A/", "in/B/x.mp3", "in/C/D/", "in/C/E/y.mp3"});
        m_startDir = QDir::currentPath();
        QDir::setCurrent(m_root + "/cwd");
    }

    void tearDownTree()
    {
        QDir::setCurrent(m_startDir);
        m_tmp.reset();
    }
};
