#include "app/run_progress_dialog.h"

#include "generate/run_messages.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace yf {

namespace {

int clampToInt(qsizetype n) { return n > INT_MAX ? INT_MAX : static_cast<int>(n); }

} // namespace

RunProgressDialog::RunProgressDialog(QWidget *parent)
    : QDialog(parent)
    , m_label(new QLabel(this))
    , m_bar(new QProgressBar(this))
    , m_cancel(new QPushButton(QStringLiteral("Cancel"), this))
{
    setWindowTitle(QStringLiteral("Yarrowfeed"));
    // Not modal: a window blocked by a modal dialog ignores its own close button, and closing
    // the window must stay a way to stop a run. The run has greyed out everything else.
    setWindowModality(Qt::NonModal);
    m_label->setMinimumWidth(m_label->fontMetrics().horizontalAdvance(writingText(999999, 999999)));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_label);
    layout->addWidget(m_bar);
    layout->addWidget(m_cancel, 0, Qt::AlignRight);
    connect(m_cancel, &QPushButton::clicked, this, &RunProgressDialog::reject);
}

void RunProgressDialog::showScanning(qsizetype found)
{
    if (m_cancelling)
        return;
    m_label->setText(scanningText(found));
    m_bar->setRange(0, 0);  // no end known yet: a busy bar
}

void RunProgressDialog::showWriting(qsizetype written, qsizetype total)
{
    if (m_cancelling)
        return;
    m_label->setText(writingText(written, total));
    m_bar->setRange(0, clampToInt(total));
    m_bar->setValue(clampToInt(written));
}

void RunProgressDialog::reject()
{
    if (m_cancelling)
        return;
    m_cancelling = true;
    m_cancel->setEnabled(false);
    m_label->setText(QStringLiteral("Cancelling…"));
    emit cancelRequested();
}

} // namespace yf
