#pragma once
// "Restore P<n>": going back to a system point through the root side, then putting back the
// point's configuration part as the user. Not modal: the tray and the monitor go on meanwhile.
#include "platform/SystemRestore.h"

#include <QDialog>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

class frmSystemRestore : public QDialog {
    Q_OBJECT
public:
    // Opens a window of its own for the point, deleted when it closes. It belongs to no other
    // window: closing the one it came from must not leave the root side's run unwatched.
    static frmSystemRestore* showFor(const QString& point);

    frmSystemRestore(const QString& point, QWidget* parent);

    bool isRunning() const { return m_running; }
    // What was done and what failed, one line each.
    QStringList reportLines() const;

    QLabel* lblStatus;
    QProgressBar* prgRestore;
    QPlainTextEdit* txtReport;
    QPushButton* cmdRestore;
    QPushButton* cmdCancel;
    QPushButton* cmdGoOn;
    QPushButton* cmdStop;
    QPushButton* cmdClose;

signals:
    void restoreFinished(bool succeeded);

public slots:
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void start();
    void ask(const std::vector<vigilorn::SystemRestore::Missing>& missing);
    void answer(bool go);
    void report(const QString& line);
    void finished(const vigilorn::SystemRestore::Result& result);
    // The configuration part, after the root side made its point `before`.
    bool restoreConfiguration(std::uint64_t before);

    QString m_point;
    bool m_running = false;
    // Past the question: a warning now is a part that failed, not something to know first.
    bool m_underWay = false;
};
