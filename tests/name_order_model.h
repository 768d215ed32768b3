// The listing's name order spelled out the slow way, for tests to hold the fast one against.
#pragma once

#include <QByteArray>
#include <QList>
#include <QRegularExpression>
#include <QString>

#include <algorithm>

namespace nameorder {

// A folded name as a row of tokens: each run of ASCII digits is one, as a number kept as
// its digits; every other UTF-16 unit is one of its own.
struct Token {
    QString digits;    // the run, when this is a number
    char16_t unit = 0; // the unit, when it is not
};

inline QList<Token> tokens(const QString &folded)
{
    QList<Token> row;
    for (qsizetype i = 0; i < folded.size();) {
        qsizetype end = i;
        while (end < folded.size() && folded[end] >= u'0' && folded[end] <= u'9')
            ++end;
        if (end > i) {
            row.append(Token{folded.mid(i, end - i), 0});
            i = end;
        } else {
            row.append(Token{QString(), folded[i].unicode()});
            ++i;
        }
    }
    return row;
}

// Two numbers by value (the one with fewer digits after its leading zeros is smaller, else
// the digits decide), then the shorter run; a number against a unit as its first digit is.
inline int compare(const Token &a, const Token &b)
{
    if (!a.digits.isEmpty() && !b.digits.isEmpty()) {
        const QString va = QString(a.digits).remove(QRegularExpression("^0+"));
        const QString vb = QString(b.digits).remove(QRegularExpression("^0+"));
        if (va.size() != vb.size())
            return va.size() < vb.size() ? -1 : 1;
        if (const int c = va.compare(vb); c != 0)
            return c < 0 ? -1 : 1;
        return a.digits.size() == b.digits.size() ? 0 : (a.digits.size() < b.digits.size() ? -1 : 1);
    }
    const char16_t ua = a.digits.isEmpty() ? a.unit : a.digits[0].unicode();
    const char16_t ub = b.digits.isEmpty() ? b.unit : b.digits[0].unicode();
    return ua == ub ? 0 : (ua < ub ? -1 : 1);
}

// Token by token over the case-folded text, then the shorter row first, then the bytes.
inline bool modelLess(const QByteArray &a, const QByteArray &b)
{
    const QList<Token> ta = tokens(QString::fromUtf8(a).toCaseFolded());
    const QList<Token> tb = tokens(QString::fromUtf8(b).toCaseFolded());
    for (qsizetype i = 0; i < std::min(ta.size(), tb.size()); ++i) {
        if (const int c = compare(ta[i], tb[i]); c != 0)
            return c < 0;
    }
    if (ta.size() != tb.size())
        return ta.size() < tb.size();
    return a < b;
}

} // namespace nameorder
