// A library whose kept run is checked against full runs, and the random changes made to it.
#pragma once

#include "generate/feed_index.h"
#include "generate/incremental_run.h"
#include "run_fixture.h"

#include <QDirIterator>
#include <QProcess>
#include <QRandomGenerator>

#include <optional>
#include <unistd.h>

namespace fixture {


// A library at "<tmp>/in" whose kept run writes into "<tmp>/outA"; each check runs a fresh
// full run into the empty "<tmp>/outC" (same depth, so only the directory's name differs
// in the index files and messages) and one into "<tmp>/outB", which lives through the same
// history, so that what the kept run removed can be compared too.
struct Library {
    QTemporaryDir tmp;
    fixture::FixedClock clock;
    yf::RunRequest request;
    std::optional<yf::IncrementalRun> kept;
    QStringList blockers;  // folders put in the output directories where a feed would go
    yf::TreeChangeList changes;

    Library()
    {
        request.inputDir = tmp.path() + "/in";
        request.linkEntry = request.inputDir;
        request.outputDir = tmp.path() + "/outA";
        request.baseUrl = "http://127.0.0.1/";
        request.helperThreads = 1;
        for (const char *dir : {"in", "outA", "outB", "outside"})
            QDir().mkpath(tmp.path() + '/' + dir);
        kept.emplace(request, clock);
    }
    ~Library()
    {
        // Folders made unreadable or read-only would keep the temporary directory from going.
        for (const QString &dir : {tmp.path() + "/in", tmp.path() + "/outside"})
            if (QFileInfo::exists(dir))
                QProcess::execute("chmod", {"-R", "u+rwx", dir});
    }

    QString in(const QString &relative) const { return request.inputDir + '/' + relative; }
    QByteArray folderPath(const QString &relative) const
    {
        QString path = request.inputDir + '/' + relative;
        if (!path.endsWith('/'))
            path += '/';
        return QFile::encodeName(path);
    }
    static QString parentOf(const QString &relative)
    {
        const qsizetype slash = relative.lastIndexOf('/');
        return slash < 0 ? QString() : relative.left(slash);
    }
    void entriesChanged(const QString &folder) { changes.folders.push_back(folderPath(folder)); }
    void treeChanged(const QString &folder)
    {
        changes.subtrees.push_back(folderPath(folder));
        entriesChanged(parentOf(folder));
    }

    // Carries out one change as a person would and notes it as a watcher of the tree would:
    // "add F=text", "write F=text", "rm F", "mvfile F G", "mkdir D", "rmdir D", "mv D E"
    // (either may be "@name" for a folder outside the tree), "chmod MODE D", "block NAME",
    // "unblock NAME".
    void change(const QString &command)
    {
        const QStringList words = command.split(' ');
        const QString &verb = words[0];
        const auto path = [&](int k) { return words[k].startsWith('@') ? tmp.path() + "/outside/" + words[k].mid(1) : in(words[k]); };
        if (verb == "add" || verb == "write") {
            fixture::makeTree(request.inputDir, {words[1]});
            entriesChanged(parentOf(words[1].section('=', 0, 0)));
        } else if (verb == "rm") {
            QVERIFY(QFile::remove(in(words[1])));
            entriesChanged(parentOf(words[1]));
        } else if (verb == "mvfile") {
            QVERIFY(::rename(QFile::encodeName(in(words[1])).constData(), QFile::encodeName(in(words[2])).constData()) == 0);
            entriesChanged(parentOf(words[1]));
            entriesChanged(parentOf(words[2]));
        } else if (verb == "mkdir") {
            QVERIFY(QDir().mkpath(in(words[1])));
            treeChanged(words[1]);
        } else if (verb == "rmdir") {
            QProcess::execute("chmod", {"-R", "u+rwx", in(words[1])});
            QVERIFY(QDir(in(words[1])).removeRecursively());
            treeChanged(words[1]);
        } else if (verb == "mv") {
            QVERIFY2(::rename(QFile::encodeName(path(1)).constData(), QFile::encodeName(path(2)).constData()) == 0,
                     qPrintable(command));
            for (int k : {1, 2}) {
                if (!words[k].startsWith('@'))
                    treeChanged(words[k]);
            }
        } else if (verb == "chmod") {
            QVERIFY(::chmod(QFile::encodeName(in(words[2])).constData(), words[1].toUInt(nullptr, 8)) == 0);
            changes.subtrees.push_back(folderPath(words[2]));
        } else if (verb == "block" || verb == "unblock") {
            verb == "block" ? blockers.append(words[1]) : void(blockers.removeAll(words[1]));
            for (const char *out : {"outA", "outB"}) {
                const QString blocker = tmp.path() + '/' + out + '/' + words[1];
                QVERIFY(verb == "block" ? QDir().mkpath(blocker) : QDir().rmdir(blocker));
            }
        } else {
            QFAIL(qPrintable("unknown change " + command));
        }
    }

    yf::RunOutcome update()
    {
        yf::RunOutcome outcome = kept->update(changes);
        changes = {};
        return outcome;
    }

    yf::RunOutcome fullRunInto(const char *out)
    {
        yf::RunRequest full = request;
        full.outputDir = tmp.path() + '/' + out;
        return yf::generateFeeds(full, clock);
    }

    // Every file of an output directory with its bytes, the directory's name made "outA".
    QMap<QString, QByteArray> contents(const QString &out) const
    {
        QMap<QString, QByteArray> files;
        const QString dir = tmp.path() + '/' + out;
        for (const QString &name : QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System))
            files[name] = fixture::readFile(dir + '/' + name).replace(out.toUtf8(), "outA");
        return files;
    }
    static QStringList described(const std::vector<yf::Error> &errors, const QString &out)
    {
        QStringList lines;
        for (const yf::Error &error : errors)
            lines << QString::number(int(error.kind)) + ' ' + QString(error.message()).replace(out, "outA");
        return lines;
    }
    static QStringList removed(const std::vector<QString> &paths, const QString &out)
    {
        QStringList lines;
        for (QString path : paths)
            lines << path.replace(out, "outA");
        return lines;
    }

    // The kept run's outcome and output against a full run's at this moment.
    void compare(const yf::RunOutcome &outcome, const QString &when)
    {
        const QByteArray where = when.toUtf8();
        if (!outcome.finished())
            QFAIL(qPrintable(when + ": " + outcome.error->message()));
        const yf::RunOutcome lived = fullRunInto("outB");
        QVERIFY(QDir(tmp.path() + "/outC").removeRecursively() || !QFile::exists(tmp.path() + "/outC"));
        QDir().mkpath(tmp.path() + "/outC");
        for (const QString &blocker : blockers)
            QDir().mkpath(tmp.path() + "/outC/" + blocker);
        const yf::RunOutcome fresh = fullRunInto("outC");
        QCOMPARE(outcome.feedsWritten, fresh.feedsWritten);
        QVERIFY2(described(outcome.skipped, "outA") == described(fresh.skipped, "outC"), where);
        QVERIFY2(removed(outcome.removedFeeds, "outA") == removed(lived.removedFeeds, "outB"), where);
        QVERIFY2(described(outcome.cleanupProblems, "outA").isEmpty(), where);
        QVERIFY2(described(outcome.indexProblems, "outA") == described(fresh.indexProblems, "outC"), where);
        const QMap<QString, QByteArray> mine = contents("outA");
        QVERIFY2(mine.keys() == contents("outC").keys(), qPrintable(when + ": " + mine.keys().join(' ') + " / "
                                                                    + contents("outC").keys().join(' ')));
        QVERIFY2(mine == contents("outC"), where);
        QVERIFY2(mine == contents("outB"), where);
    }
};



// Picks changes at random from what the tree holds now: files and folders added, removed,
// renamed, moved within, in and out, hidden, write-protected, unreadable, names that meet
// and names too long for a file.
class ChangePicker {
public:
    ChangePicker(Library &library, quint32 seed) : m_library(library), m_random(seed) {}

    QString next()
    {
        for (;;) {
            const QString command = attempt(int(m_random.bounded(15)));
            if (!command.isEmpty())
                return command;
        }
    }

private:
    QString pick(const QStringList &from) { return from.at(int(m_random.bounded(qsizetype(from.size())))); }
    bool isLocked(const QString &relative) const
    {
        for (const QString &locked : m_locked) {
            if (relative == locked || relative.startsWith(locked + '/'))
                return true;
        }
        return false;
    }
    // Whether a locked folder lies below `folder`: it would go with it, locked, out of sight.
    bool holdsLocked(const QString &folder) const
    {
        for (const QString &locked : m_locked) {
            if (locked.startsWith(folder + '/'))
                return true;
        }
        return false;
    }
    // The folders below the input directory ("" for itself) that changes may go into.
    QStringList folders(bool withRoot) const
    {
        QStringList found;
        if (withRoot)
            found << QString();
        const QString root = m_library.request.inputDir + '/';
        QDirIterator all(root, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
        while (all.hasNext()) {
            const QString relative = all.next().mid(root.size());
            if (!isLocked(relative))
                found << relative;
        }
        return found;
    }
    QStringList files() const
    {
        QStringList found;
        const QString root = m_library.request.inputDir + '/';
        QDirIterator all(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (all.hasNext()) {
            const QString relative = all.next().mid(root.size());
            if (!isLocked(Library::parentOf(relative)))
                found << relative;
        }
        return found;
    }
    static QString below(const QString &folder, const QString &name) { return folder.isEmpty() ? name : folder + '/' + name; }
    QString freeName(const QString &folder, const QStringList &names)
    {
        const QString name = pick(names);
        return QFileInfo::exists(m_library.in(below(folder, name))) ? QString() : below(folder, name);
    }
    QString folderName()
    {
        static const QStringList names{"a", "b", "a-b", "b-a", "c", "a&b", QString::fromUtf8("\u00dcn\u00ef"),
                                       QString(240, 'L'), "x"};
        return pick(names);
    }

    QString attempt(int kind)
    {
        static const QStringList fileNames{"1.mp3", "2_x.mp3", "c&d.ogg", "e.txt", "Chapter10.mp3"};
        const QStringList some = folders(true);
        QStringList plain = folders(false);
        if (kind >= 7 && kind <= 11)
            plain.removeIf([&](const QString &folder) { return holdsLocked(folder); });
        const QString text = QString(int(m_random.bounded(1, 40)), QChar('a' + int(m_random.bounded(26))));
        switch (kind) {
        case 0:
        case 1: {
            const QString file = freeName(pick(some), fileNames);
            return file.isEmpty() ? QString() : "add " + file + '=' + text;
        }
        case 2:
            return files().isEmpty() ? QString() : "rm " + pick(files());
        case 3: {
            if (files().isEmpty())
                return {};
            const QString file = pick(files());
            const QString to = freeName(pick(some), fileNames);
            return to.isEmpty() ? QString() : "mvfile " + file + ' ' + to;
        }
        case 4:
            return files().isEmpty() ? QString() : "write " + pick(files()) + '=' + text;
        case 5:
        case 6: {
            const QString folder = freeName(pick(some), {folderName()});
            return folder.isEmpty() || folder.size() > 1500 ? QString() : "mkdir " + folder;
        }
        case 7:
            return plain.isEmpty() ? QString() : "rmdir " + pick(plain);
        case 8: {
            if (plain.isEmpty())
                return {};
            const QString from = pick(plain);
            const QString into = pick(some);
            if (into == from || into.startsWith(from + '/'))
                return {};
            const QString to = freeName(into, {folderName()});
            return to.isEmpty() || to.size() > 1500 ? QString() : "mv " + from + ' ' + to;
        }
        case 9: {
            if (plain.isEmpty())
                return {};
            m_outside << "@o" + QString::number(++m_moved);
            return "mv " + pick(plain) + ' ' + m_outside.last();
        }
        case 10: {
            if (m_outside.isEmpty())
                return {};
            const QString from = m_outside.takeAt(int(m_random.bounded(qsizetype(m_outside.size()))));
            const QString to = freeName(pick(some), {"a", "b", "in", "a-b"});
            if (to.isEmpty()) {
                m_outside << from;
                return {};
            }
            return "mv " + from + ' ' + to;
        }
        case 11: {
            if (plain.isEmpty())
                return {};
            const QString folder = pick(plain);
            const QString name = folder.section('/', -1);
            const QString to = freeName(Library::parentOf(folder), {name.startsWith('.') ? name.mid(1) + "-shown" : '.' + name});
            return to.isEmpty() ? QString() : "mv " + folder + ' ' + to;
        }
        case 12:
        case 13: {
            if (plain.isEmpty() || (kind == 13 && ::geteuid() == 0))
                return {};
            const QString folder = pick(plain);
            m_locked << folder;
            return QString(kind == 12 ? "chmod 555 " : "chmod 000 ") + folder;
        }
        default:
            if (m_locked.isEmpty())
                return {};
            // The last locked first: a folder locked earlier may lie below it.
            return "chmod 755 " + m_locked.takeLast();
        }
    }

    Library &m_library;
    QRandomGenerator m_random;
    QStringList m_locked;   // folders made read-only or unreadable, left alone until made writable again
    QStringList m_outside;  // folders moved out, waiting to come back
    int m_moved = 0;
};


} // namespace fixture
