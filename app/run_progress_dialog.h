// The small window that shows how far a long run is and lets the user stop it.
#pragma once

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;

namespace yf {

class RunProgressDialog : public QDialog {
    Q_OBJECT

public:
    explicit RunProgressDialog(QWidget *parent);

    void showScanning(qsizetype found);
    void showWriting(qsizetype written, qsizetype total);

    QPushButton *cancelButton() const { return m_cancel; }
    QLabel *label() const { return m_label; }
    QProgressBar *bar() const { return m_bar; }

signals:
    // The user pressed Cancel or Escape, or closed the dialog. It stays up, saying so,
    // until the run has really stopped.
    void cancelRequested();

public slots:
    void reject() override;

private:
    QLabel *m_label;
    QProgressBar *m_bar;
    QPushButton *m_cancel;
    bool m_cancelling = false;
};

} // namespace yf
