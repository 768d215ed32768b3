// The files a feed lists, in the order a listener reads them: visible files only, numbers by
// value, folded forms then bytes.
#include "feed_writer_setup.h"
#include "name_order_model.h"

#include <QRandomGenerator>
#include <QSet>

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

using namespace feedsetup;

class TestFileLister : public QObject {
    Q_OBJECT
private slots:
    void listsOnlyVisibleFilesInNameOrder();
    void listsChaptersInNumberOrder();
    void ordersMixedNamesByFoldedFormThenBytes();
};

void TestFileLister::listsOnlyVisibleFilesInNameOrder()
{
    Setup s;
    fixture::makeTree(s.input, {"F/b.mp3", "F/B.mp3", "F/a.mp3", "F/C.mp3", "F/.hidden.mp3", "F/Sub/",
                                "F/link.mp3->a.mp3", "F/broken.mp3->missing", "F/zz->Sub"});
    QVERIFY(s.lister.setPath(native(s.input + "/F/")).ok());
    QStringList names;
    for (qsizetype i = 0; i < s.lister.listCount(); ++i)
        names << QString::fromUtf8(s.lister.fileName(i));
    QCOMPARE(names, (QStringList{"a.mp3", "B.mp3", "b.mp3", "C.mp3", "link.mp3"}));
}

// Chapters come in the order they are read, in the lister and so in the feed's items.
void TestFileLister::listsChaptersInNumberOrder()
{
    Setup s;
    QStringList files;
    for (const int k : {12, 3, 1, 10, 2, 11, 9})
        files << QStringLiteral("Book/Chapter %1.mp3").arg(k);
    files << "Book/Chapter 01.mp3" << "Book/chapter 2.mp3" << "Book/Chapter.mp3";
    fixture::makeTree(s.input, files);
    yf::FeedWriter w = s.writer();
    QVERIFY(s.write(w, native(s.input + "/Book/")).ok());
    const QByteArray text = s.feed("-Book-.xml");
    QStringList titles;
    for (qsizetype at = text.indexOf("<item>\r\n<title>"); at >= 0; at = text.indexOf("<item>\r\n<title>", at + 1)) {
        const qsizetype from = at + 15;
        titles << QString::fromUtf8(text.mid(from, text.indexOf("</title>", from) - from));
    }
    QCOMPARE(titles, (QStringList{"Chapter 1.mp3", "Chapter 01.mp3", "Chapter 2.mp3", "chapter 2.mp3", "Chapter 3.mp3",
                                  "Chapter 9.mp3", "Chapter 10.mp3", "Chapter 11.mp3", "Chapter 12.mp3", "Chapter.mp3"}));
}

// ASCII names are ordered from their bytes and others through case-folded text; the two
// must agree with one order, even where a non-ASCII letter folds to an ASCII one (Kelvin
// sign), sits between ASCII names or digits, or is not UTF-8 at all.
void TestFileLister::ordersMixedNamesByFoldedFormThenBytes()
{
    Setup s;
    const QByteArray folder = native(s.input) + "/M/";
    QVERIFY(QDir().mkpath(QString::fromUtf8(folder)));
    const QList<QByteArray> pieces = {"a", "A", "k", "K", "z", "Z", "_", "[", "~", " ", "1",
                                      "\xC3\xA9", "\xC3\x89", "\xC3\x9F", "\xE2\x84\xAA" /* Kelvin */,
                                      "\xC5\xBF" /* long s */, "\xFF", "\xF0\x9F\x8E\xB5", "\xCF\x82", "\xCF\x83",
                                      "0", "2", "10", "007"};
    QRandomGenerator random(5);
    QSet<QByteArray> made;
    for (int k = 0; k < 400; ++k) {
        QByteArray name;
        for (int n = 1 + random.bounded(5); n > 0; --n)
            name += pieces[random.bounded(pieces.size())];
        if (made.contains(name))
            continue;
        made.insert(name);
        const int fd = ::open((folder + name).constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        QVERIFY2(fd >= 0, name.constData());
        ::close(fd);
    }
    QList<QByteArray> expected(made.begin(), made.end());
    std::sort(expected.begin(), expected.end(), nameorder::modelLess);
    QVERIFY(s.lister.setPath(folder).ok());
    QList<QByteArray> listed;
    for (qsizetype i = 0; i < s.lister.listCount(); ++i)
        listed << s.lister.fileName(i).toByteArray();
    QCOMPARE(listed, expected);
}

QTEST_GUILESS_MAIN(TestFileLister)
#include "tst_file_lister.moc"
