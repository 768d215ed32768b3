// Builds small folder trees inside a temporary directory for the tests.
#pragma once

#include "settings/ini_file.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace fixture {

// Each entry is one path below `root`:
//   "Talks/"            a folder
//   "Talks/Ep 1.mp3"    an empty file (parents made as needed)
//   "Talks/a.mp3=xyz"   a file with the text after "="
//   "Link->Talks"       a symbolic link to the text after "->"
//   "Locked/!555"       chmod the folder to the octal mode after "!"
inline void makeTree(const QString &root, const QStringList &entries)
{
    for (const QString &entry : entries) {
        if (const qsizetype arrow = entry.indexOf(QLatin1String("->")); arrow > 0) {
            const QString link = root + QLatin1Char('/') + entry.left(arrow);
            QDir().mkpath(QFileInfo(link).path());
            QVERIFY2(::symlink(QFile::encodeName(entry.mid(arrow + 2)).constData(),
                               QFile::encodeName(link).constData()) == 0, qPrintable(link));
        } else if (const qsizetype bang = entry.indexOf(QLatin1String("/!")); bang > 0) {
            const QString dir = root + QLatin1Char('/') + entry.left(bang);
            QVERIFY(::chmod(QFile::encodeName(dir).constData(), entry.mid(bang + 2).toUInt(nullptr, 8)) == 0);
        } else if (entry.endsWith(QLatin1Char('/'))) {
            QVERIFY(QDir().mkpath(root + QLatin1Char('/') + entry));
        } else {
            const qsizetype eq = entry.indexOf(QLatin1Char('='));
            const QString path = root + QLatin1Char('/') + (eq < 0 ? entry : entry.left(eq));
            QDir().mkpath(QFileInfo(path).path());
            QFile f(path);
            QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
            if (eq >= 0)
                f.write(entry.mid(eq + 1).toUtf8());
        }
    }
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

inline QStringList filesIn(const QString &dir)
{
    QStringList names = QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System);
    names.sort();
    return names;
}

// The value stored under `key` in `section`; "" when it is missing or cannot be read.
inline QString setting(const char *section, const char *key, const QString &path)
{
    const yf::Result<QString> value = yf::readSetting(QString::fromLatin1(section), QString::fromLatin1(key), path);
    return value.ok() ? value.value() : QString();
}

} // namespace fixture
