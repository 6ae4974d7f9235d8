#pragma once
// "Changes since P<n>": what changed since a restore point, and the way back to it.
#include "platform/RestoreChanges.h"

#include <QDialog>

#include <atomic>
#include <map>
#include <memory>
#include <thread>

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

class frmChanges : public QDialog {
    Q_OBJECT
public:
    // Opens a window of its own for the point, deleted when it closes.
    static frmChanges* showFor(const QString& point, QWidget* parent);

    frmChanges(const QString& point, QWidget* parent);
    ~frmChanges() override;

    void startComparison();
    void cancelComparison();
    bool isComparing() const { return m_thread.joinable() && !m_finished; }
    // The line of each change shown, "<group>: <name>[ <before> -> <after>]".
    QStringList shownLines() const;

    QTreeWidget* treeChanges;
    QLabel* lblStatus;
    QProgressBar* prgCompare;
    QPushButton* cmdCancel;
    QPushButton* cmdRestore;
    QPushButton* cmdClose;

signals:
    void comparisonFinished();
    void restoreFinished(bool succeeded);

private:
    struct Job {
        std::atomic<bool> cancel{false};
    };

    void addBatch(const std::vector<vigilorn::Change>& batch);
    void showProgress(qulonglong done, qulonglong total);
    void finish(bool ok, const QString& error, bool cancelled, bool unknown = false);
    void stopWorker();
    void Restore_Click();
    void runRestore(const vigilorn::RestorePlan& plan, bool runCommands);

    QString m_point;
    std::shared_ptr<Job> m_job;
    std::thread m_thread;
    bool m_finished = true;
    std::size_t m_count = 0;
    std::map<int, QTreeWidgetItem*> m_groups;
};

// The confirmation before restoring: what the program does itself, snapper's command.
class frmRestoreConfirm : public QDialog {
    Q_OBJECT
public:
    frmRestoreConfirm(const QString& point, const vigilorn::RestorePlan& plan, bool canRunAsRoot,
                      QWidget* parent);

    bool runCommands() const;

    QLabel* lblSummary;
    QPlainTextEdit* txtCommands;
    QPushButton* cmdCopy;
    QCheckBox* chkRun;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;
};
