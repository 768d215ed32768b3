// A watcher driven through a seeded series of random changes in bursts: after every burst
// its output directory holds, name for name and byte for byte, what a fresh run of the same
// tree writes into an empty one.
#include "fixture.h"
#include "program_testing.h"

#include <QDirIterator>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <sys/stat.h>
#include <utility>
#include <vector>

using namespace cli_testing;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr int kChanges = 60;
#else
constexpr int kChanges = 210;
#endif

QByteArray encoded(const QString &path) { return QFile::encodeName(path); }

// Makes random changes below `in`, moving folders to and from `outside`. Every path it
// touches is checked to lie below one of the two: an empty pick must never become "here".
class TreeChurner {
public:
    TreeChurner(QString in, QString outside, quint32 seed)
        : m_in(std::move(in)), m_outside(std::move(outside)), m_random(seed)
    {
    }

    // One random change, told as a line for the log of a failing case; empty when the pick
    // could not be made (nothing to remove, a name already taken).
    QString change()
    {
        using Kind = QString (TreeChurner::*)();
        static const std::vector<std::pair<int, Kind>> kinds = {
            {5, &TreeChurner::addFile},      {3, &TreeChurner::removeFile},     {3, &TreeChurner::renameFile},
            {2, &TreeChurner::rewriteFile},  {3, &TreeChurner::addFolder},      {2, &TreeChurner::removeFolder},
            {3, &TreeChurner::moveFolder},   {2, &TreeChurner::moveIn},         {2, &TreeChurner::moveOut},
            {2, &TreeChurner::toggleHidden}, {2, &TreeChurner::toggleMode},     {1, &TreeChurner::collidingNames},
            {1, &TreeChurner::longChain},
        };
        // A small tree grows first, so that the series has folders to move, hide and lock.
        if (folders().size() < 10 && m_random.bounded(2))
            return m_random.bounded(2) ? addFolder() : moveIn();
        int total = 0;
        for (const auto &kind : kinds)
            total += kind.first;
        int pick = static_cast<int>(m_random.bounded(total));
        for (const auto &[weight, make] : kinds) {
            if ((pick -= weight) < 0)
                return (this->*make)();
        }
        return {};
    }

    QString addFile()
    {
        static const QStringList names = {"ep %1.mp3", "a-b.mp3", "notes %1.txt", "x%1.ogg", "Talk %1.m4a"};
        const QString path = anyFolder() + "/" + anyName(names);
        fixture::makeTree("/", {path.mid(1) + "=" + QString::number(m_random.generate())});
        return "add " + path;
    }
    QString removeFile()
    {
        const QString file = anyOf(files());
        return inTree(file) && QFile::remove(file) ? "remove " + file : QString();
    }
    QString renameFile() { return renamed(anyOf(files()), anyFolder() + QStringLiteral("/moved %1.mp3").arg(m_random.bounded(20))); }
    QString rewriteFile()
    {
        const QString file = anyOf(files());
        QFile f(file);
        if (!inTree(file) || !f.open(QIODevice::Append))
            return {};
        f.write(QByteArray(m_random.bounded(1, 300), 'r'));
        return "rewrite " + file;
    }
    QString addFolder()
    {
        static const QStringList names = {"a", "b", "a-b", "Show %1", "c d", "\u00dc %1"};
        const QString folder = anyFolder() + "/" + anyName(names);
        QDir().mkpath(folder);
        if (m_random.bounded(2))
            fixture::makeTree(folder, {"first.mp3"});
        return "folder " + folder;
    }
    QString removeFolder()
    {
        const QString folder = anyOf(folders());
        return inTree(folder) && QDir(folder).removeRecursively() ? "remove folder " + folder : QString();
    }
    QString moveFolder()
    {
        const QString folder = anyOf(folders());
        const QString into = anyFolder();
        if ((into + "/").startsWith(folder + "/"))
            return {};
        return renamed(folder, into + QStringLiteral("/Moved %1").arg(m_random.bounded(10)));
    }
    QString moveIn()
    {
        const QString made = m_outside + QStringLiteral("/In %1").arg(++m_made);
        fixture::makeTree(made, {"inner/deep.mp3", "top.mp3"});
        return renamed(made, anyFolder() + QStringLiteral("/Came %1").arg(m_made));
    }
    QString moveOut() { return renamed(anyOf(folders()), m_outside + QStringLiteral("/Out %1").arg(++m_made)); }
    QString toggleHidden()
    {
        const QString entry = m_random.bounded(2) ? anyOf(folders()) : anyOf(files());
        const QFileInfo info(entry);
        const QString name = info.fileName();
        return renamed(entry, info.path() + "/" + (name.startsWith('.') ? name.mid(1) : "." + name));
    }
    // Write-protected, unreadable or plain again.
    QString toggleMode()
    {
        const QString folder = anyOf(folders());
        static const mode_t modes[] = {0555, 0000, 0755};
        const mode_t mode = modes[m_random.bounded(3)];
        if (!inTree(folder) || ::chmod(encoded(folder).constData(), mode) != 0)
            return {};
        return QStringLiteral("chmod %1 ").arg(mode, 3, 8, QLatin1Char('0')) + folder;
    }
    // "a-b" and "a/b" would get the same feed name.
    QString collidingNames()
    {
        const QString at = anyFolder();
        fixture::makeTree(at, {"a-b/one.mp3", "a/b/two.mp3"});
        return "a-b and a/b in " + at;
    }
    // A path whose feed name passes the file-name limit.
    QString longChain()
    {
        const QString at = anyFolder() + "/" + QString(70, QLatin1Char('L'));
        fixture::makeTree(at, {QString(70, 'M') + "/" + QString(70, 'N') + "/" + QString(70, 'O') + "/ep.mp3"});
        return "long chain " + at;
    }

    // Everything back to a mode the temporary folder can be removed with.
    void restoreModes()
    {
        for (const QString &folder : folders())
            ::chmod(encoded(folder).constData(), 0755);
    }

private:
    bool inTree(const QString &path) const
    {
        return !path.isEmpty() && (path.startsWith(m_in + "/") || path.startsWith(m_outside + "/"));
    }
    QStringList entries(QDir::Filters filter) const
    {
        QStringList found;
        QDirIterator it(m_in, filter | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext())
            found << it.next();
        found.sort();  // the same series on every machine
        return found;
    }
    QStringList folders() const { return entries(QDir::Dirs); }
    QStringList files() const { return entries(QDir::Files); }
    QString anyOf(const QStringList &list)
    {
        return list.isEmpty() ? QString() : list[static_cast<qsizetype>(m_random.bounded(list.size()))];
    }
    QString anyFolder()
    {
        const QStringList all = folders();
        return m_random.bounded(5) == 0 || all.isEmpty() ? m_in : anyOf(all);
    }
    // A name from `names`, numbered where it has a place for one.
    QString anyName(const QStringList &names)
    {
        const QString name = anyOf(names);
        return name.contains(QLatin1String("%1")) ? name.arg(m_random.bounded(6)) : name;
    }
    QString renamed(const QString &from, const QString &to) const
    {
        if (!inTree(from) || !inTree(to) || QFileInfo::exists(to)
            || ::rename(encoded(from).constData(), encoded(to).constData()) != 0)
            return {};
        return "rename " + from + " -> " + to;
    }

    QString m_in, m_outside;
    QRandomGenerator m_random;
    int m_made = 0;
};

} // namespace

class TestWatchRandom : public QObject {
    Q_OBJECT

private slots:
    void outputMatchesAFreshRunAfterEveryBurst()
    {
        QTemporaryDir tmp;
        // The fresh run reads the same tree through a link at the same depth, so that the
        // links and feed addresses below each run's link root are the same bytes.
        fixture::makeTree(tmp.path(), {"lib/in/Start/s.mp3", "lib/out/", "outside/", "fresh/in->../lib/in"});
        const QString in = tmp.filePath("lib/in");
        const QString out = tmp.filePath("lib/out");
        const QString freshOut = tmp.filePath("fresh/out");
        const QStringList common{"--base-url", "http://example.org/pod/", "--no-tags"};
        const quint32 seed = 20261208;
        TreeChurner churner(in, tmp.filePath("outside"), seed);
        WatchProcess watch(QStringList{"--settle", "0.2", "--full-every", "0", "--input", in, "--output", out,
                                       "--settings", tmp.filePath("watch.ini")}
                           + common);
        QVERIFY(watch.waitForQuiet(300, 10000, 1));

        QStringList log;
        qsizetype mostFeeds = 0;
        for (int burst = 0; log.size() < kChanges; ++burst) {
            const qsizetype burstStart = log.size();
            log << churner.addFile();
            const int size = 4 + (burst * 7) % 15;
            for (int i = 0; i < size; ++i) {
                if (const QString said = churner.change(); !said.isEmpty())
                    log << said;
            }
            // A change the watcher must not run for (in a folder a run skips, a hidden one) is
            // fine: what it left is compared all the same.
            QVERIFY2(watch.waitForQuiet(1000, 20000), qPrintable("no end of runs after:\n" + log.mid(burstStart).join('\n')));

            QVERIFY(QDir(freshOut).removeRecursively() || !QFileInfo::exists(freshOut));
            QVERIFY(QDir().mkpath(freshOut));
            QFile::remove(tmp.filePath("fresh.ini"));
            const Finished fresh = runProgram(QStringList{"--generate", "--input", tmp.filePath("fresh/in"), "--output",
                                                          freshOut, "--settings", tmp.filePath("fresh.ini")}
                                              + common);
            QVERIFY2(!fresh.crashed && fresh.status == 0,
                     qPrintable(QStringLiteral("status %1: %2").arg(fresh.status).arg(QString::fromUtf8(fresh.err))));
            const QMap<QString, QByteArray> written = filesWithBytes(out);
            mostFeeds = std::max(mostFeeds, written.keys().filter(".xml").size());
            const QString difference = firstDifference(written, filesWithBytes(freshOut));
            QVERIFY2(difference.isEmpty(), qPrintable(QStringLiteral("seed %1, burst %2: %3\nafter:\n%4")
                                                          .arg(seed)
                                                          .arg(burst)
                                                          .arg(difference, log.mid(burstStart).join('\n'))));
        }
        // What was compared held many feeds at times, and the list of feeds, the index page
        // and the OPML file.
        const QStringList names = filesWithBytes(out).keys();
        QVERIFY2(names.contains(".yarrowfeed-feeds") && names.contains("index.html") && names.contains("feeds.opml"),
                 qPrintable(names.join(' ')));
        QVERIFY2(mostFeeds >= 8, qPrintable(QString::number(mostFeeds)));
        QCOMPARE(watch.stop(), 143);
        churner.restoreModes();
    }
};

QTEST_GUILESS_MAIN(TestWatchRandom)
#include "tst_watch_random.moc"
