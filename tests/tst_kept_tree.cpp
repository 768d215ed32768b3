// The tree a watcher keeps: put right after changes, it lists what a fresh scan lists.
#include "feed/feed_names.h"
#include "fixture.h"
#include "generate/kept_tree.h"

#include <QTemporaryDir>

namespace {

QByteArray encoded(const QString &path) { return QFile::encodeName(path); }

std::vector<QByteArray> listedPaths(const yf::FolderPaths &folders)
{
    std::vector<QByteArray> paths;
    for (std::size_t place = 0; place < folders.count(); ++place)
        paths.push_back(folders.path(place));
    return paths;
}

// The listed paths of a fresh scan of `root`.
std::vector<QByteArray> freshlyScanned(const QByteArray &root)
{
    yf::KeptTree fresh;
    if (!fresh.scanAll(root, std::nullopt, nullptr).ok())
        return {};
    return listedPaths(fresh.listed());
}

bool sameKeys(const std::vector<yf::NameKey> &a, const std::vector<yf::NameKey> &b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const yf::NameKey &x, const yf::NameKey &y) {
        return x.hash == y.hash && x.size == y.size;
    });
}

} // namespace

class TestKeptTree : public QObject {
    Q_OBJECT
private slots:
    void foldersLeftAreNamedByTheirOldPaths();
    void renamedOverAndOverItsNamesStayBounded();
    void namesFromTheTreeAreThoseOfItsPaths();
};

void TestKeptTree::foldersLeftAreNamedByTheirOldPaths()
{
    QTemporaryDir dir;
    fixture::makeTree(dir.path(), {"a/one/deep/", "a/two/", "b/"});
    const QByteArray root = encoded(dir.path()) + '/';
    yf::KeptTree tree;
    QVERIFY(tree.scanAll(root, std::nullopt, nullptr).ok());
    const std::vector<QByteArray> before = listedPaths(tree.listed());

    QVERIFY(QDir(dir.path()).rename("a/one", "b/uno"));
    const yf::Result<yf::Relisted> relisted = tree.relist({root + "a/one", root + "b/uno"}, std::nullopt, nullptr);
    QVERIFY(relisted.ok());
    QCOMPARE(listedPaths(tree.listed()), freshlyScanned(root));

    // The moved folder and the one below it left their places; every other folder kept its path.
    std::vector<QByteArray> left;
    for (const auto &[place, path] : relisted.value().leftPaths) {
        QCOMPARE(path, before[static_cast<std::size_t>(place)]);
        QCOMPARE(relisted.value().leftPath(place), path);
        left.push_back(path);
    }
    QCOMPARE(left, (std::vector<QByteArray>{root + "a/one/", root + "a/one/deep/"}));
    const std::vector<qint32> &was = relisted.value().was;
    for (std::size_t now = 0; now < was.size(); ++now) {
        if (was[now] >= 0)
            QCOMPARE(tree.path(now), before[static_cast<std::size_t>(was[now])]);
        else
            QVERIFY(tree.path(now).startsWith(root + "b/uno/"));
    }
}

void TestKeptTree::renamedOverAndOverItsNamesStayBounded()
{
    // A watcher's tree lives for months: the names of folders renamed away must not pile up.
    QTemporaryDir dir;
    const QString longName = QString(200, QLatin1Char('n'));
    fixture::makeTree(dir.path(), {"Shows/" + longName + "0/below/", "Shows/other/"});
    const QByteArray root = encoded(dir.path()) + '/';
    yf::KeptTree tree;
    QVERIFY(tree.scanAll(root, std::nullopt, nullptr).ok());
    const std::size_t bytesAtFirst = tree.bytes();
    constexpr int kRenames = 2000;
    for (int k = 0; k < kRenames; ++k) {
        const QString from = "Shows/" + longName + QString::number(k);
        const QString to = "Shows/" + longName + QString::number(k + 1);
        QVERIFY(QDir(dir.path()).rename(from, to));
        QVERIFY(tree.relist({root + encoded(from), root + encoded(to)}, std::nullopt, nullptr).ok());
        if (k % 250 == 0 || k == kRenames - 1)
            QCOMPARE(listedPaths(tree.listed()), freshlyScanned(root));
    }
    // Kept whole, the names renamed away would take 2000 times 400 bytes and more.
    QVERIFY2(tree.bytes() < bytesAtFirst + 300 * 1024, qPrintable(QString::number(tree.bytes())));
}

void TestKeptTree::namesFromTheTreeAreThoseOfItsPaths()
{
    // Feed names are told apart by keys the tree gives without building each name; they
    // must be the keys of the paths themselves, or two folders could get one feed.
    QTemporaryDir dir;
    fixture::makeTree(dir.path(), {"a-b/", "a/b/", "Grüße/aus Köln/", "x/y/z/", "x-y/z/", "x/y-z/"});
    const QByteArray root = encoded(dir.path()) + '/';
    const qsizetype inputLength = root.size() - 1;
    yf::KeptTree tree;
    QVERIFY(tree.scanAll(root, std::nullopt, nullptr).ok());
    for (int round = 0; round < 2; ++round) {
        const std::vector<QByteArray> paths = listedPaths(tree.listed());
        const yf::FolderPathList whole(paths);
        QVERIFY(sameKeys(tree.nameKeys(inputLength), whole.nameKeys(inputLength)));
        const yf::FeedNames fromTree(tree.listed(), inputLength, 255);
        const yf::FeedNames fromPaths(paths, inputLength, 255);
        QSet<QByteArray> distinct;
        for (std::size_t place = 1; place < paths.size(); ++place) {
            QCOMPARE(fromTree.name(place), fromPaths.name(place));
            distinct.insert(fromTree.name(place));
        }
        QCOMPARE(distinct.size(), qsizetype(paths.size() - 1));
        // "-a-b-" and "-x-y-" once, "-x-y-z-" twice, and after the change "-a-b-c-" once.
        QCOMPARE(fromTree.suffixedCount(), std::size_t(round == 0 ? 4 : 5));

        // Once more after a change, with names carried on and names new in one block.
        fixture::makeTree(dir.path(), {"a/b-c/", "a-b-c/"});
        QVERIFY(tree.relist({root + "a/b-c", root + "a-b-c"}, std::nullopt, nullptr).ok());
    }
}

QTEST_GUILESS_MAIN(TestKeptTree)
#include "tst_kept_tree.moc"
