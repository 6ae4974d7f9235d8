#include "frmChanges.h"
#include "app/RestorePointService.h"
#include "frmSystemRestore.h"

#include "app/Module1.h"
#include "platform/SystemPointList.h"
#include "platform/SystemPointSizes.h"
#include "platform/SystemRestore.h"
#include "ui/Artwork.h"
#include "ui/ErrorReport.h"
#include "ui/MessageBox.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <unistd.h>

using namespace vigilorn;

namespace {

int groupKey(const Change& c) {
    return static_cast<int>(c.area) * 16 + static_cast<int>(c.kind);
}

QString groupTitle(const Change& c) {
    static const char* const kinds[] = {"added", "removed", "upgraded", "downgraded", "changed"};
    const QString kind = QString::fromLatin1(kinds[static_cast<int>(c.kind)]);
    switch (c.area) {
    case Change::Area::Packages:
        return QStringLiteral("Packages %1").arg(kind);
    case Change::Area::Etc:
        return QStringLiteral("Files %1 under /etc").arg(kind);
    case Change::Area::Config:
        return QStringLiteral("Files %1 under the configuration folder").arg(kind);
    case Change::Area::System:
        return QStringLiteral("Files %1").arg(kind);
    }
    return kind;
}

QString groupCaption(const QString& title, int count) {
    return QStringLiteral("%1 (%2)").arg(title).arg(count);
}

class BusyCursor {
public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
};

QString files(int n) {
    return n == 1 ? QStringLiteral("1 file") : QStringLiteral("%1 files").arg(n);
}

QString text(const std::string& s) {
    return QString::fromStdString(s);
}

} // namespace

frmChanges* frmChanges::showFor(const QString& point, QWidget* parent) {
    auto* w = new frmChanges(point, parent);
    w->setAttribute(Qt::WA_DeleteOnClose);
    w->show();
    w->startComparison();
    return w;
}

frmChanges::frmChanges(const QString& point, QWidget* parent)
    : QDialog(parent, Qt::Window), m_point(point) {
    setObjectName(QStringLiteral("frmChanges"));
    setWindowTitle(QStringLiteral("Changes since P") + point);
    setAccessibleName(windowTitle());
    setWindowIcon(programIcon());
    resize(620, 460);

    lblStatus = new QLabel(this);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    lblStatus->setAccessibleName(QStringLiteral("Comparison status"));
    lblStatus->setTextFormat(Qt::PlainText);
    lblStatus->setWordWrap(true);

    prgCompare = new QProgressBar(this);
    prgCompare->setObjectName(QStringLiteral("prgCompare"));
    prgCompare->setAccessibleName(QStringLiteral("Comparison progress"));

    treeChanges = new QTreeWidget(this);
    treeChanges->setObjectName(QStringLiteral("treeChanges"));
    treeChanges->setAccessibleName(QStringLiteral("Changes since P") + point);
    treeChanges->setHeaderLabels(
        {QStringLiteral("Change"), QStringLiteral("At the point"), QStringLiteral("Now")});
    treeChanges->setUniformRowHeights(true);
    treeChanges->header()->setStretchLastSection(false);
    treeChanges->header()->setSectionResizeMode(0, QHeaderView::Stretch);

    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setAccessibleName(QStringLiteral("Cancel"));
    cmdRestore = new QPushButton(QStringLiteral("Restore…"), this);
    cmdRestore->setObjectName(QStringLiteral("cmdRestore"));
    cmdRestore->setAccessibleName(QStringLiteral("Restore…"));
    cmdClose = new QPushButton(QStringLiteral("Close"), this);
    cmdClose->setObjectName(QStringLiteral("cmdClose"));
    cmdClose->setAccessibleName(QStringLiteral("Close"));
    for (auto* b : {cmdCancel, cmdRestore, cmdClose})
        b->setAutoDefault(false);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdCancel);
    buttons->addStretch();
    buttons->addWidget(cmdRestore);
    buttons->addWidget(cmdClose);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblStatus);
    layout->addWidget(prgCompare);
    layout->addWidget(treeChanges, 1);
    layout->addLayout(buttons);

    connect(cmdCancel, &QPushButton::clicked, this, &frmChanges::cancelComparison);
    connect(cmdRestore, &QPushButton::clicked, this, &frmChanges::Restore_Click);
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::close);
}

frmChanges::~frmChanges() {
    stopWorker();
}

void frmChanges::stopWorker() {
    if (m_job)
        m_job->cancel = true;
    if (m_thread.joinable())
        m_thread.join();
}

void frmChanges::startComparison() {
    stopWorker();
    treeChanges->clear();
    m_groups.clear();
    m_count = 0;
    cmdRestore->setEnabled(false);
    cmdCancel->setEnabled(true);
    prgCompare->setRange(0, 0);
    prgCompare->setVisible(true);
    lblStatus->setText(QStringLiteral("Comparing P%1 with the system now…").arg(m_point));
    RestoreChanges* changes = Module1::services.changes;
    if (!changes) {
        finish(false, QStringLiteral("This restore engine can't show what changed."), false);
        return;
    }
    m_finished = false;
    m_job = std::make_shared<Job>();
    auto job = m_job;
    const std::string point = m_point.toStdString();
    // Joined before this window goes, so queuing calls on it from the thread is safe.
    m_thread = std::thread([this, job, changes, point] {
        CompareCallbacks cb;
        cb.cancel = &job->cancel;
        cb.batch = [this](std::vector<Change>&& batch) {
            QMetaObject::invokeMethod(
                this, [this, b = std::move(batch)] { addBatch(b); }, Qt::QueuedConnection);
        };
        cb.progress = [this](std::size_t done, std::size_t total) {
            QMetaObject::invokeMethod(
                this, [this, done, total] { showProgress(done, total); }, Qt::QueuedConnection);
        };
        const Failure f = changes->compare(point, cb);
        const bool cancelled = f && f->number == RestoreChanges::kCancelled;
        const bool unknown = f && f->number == RestoreChanges::kUnknownPoint;
        const QString error = f ? text(f->description) : QString();
        QMetaObject::invokeMethod(
            this, [this, f, error, cancelled, unknown] { finish(!f, error, cancelled, unknown); },
            Qt::QueuedConnection);
    });
}

void frmChanges::cancelComparison() {
    if (m_job)
        m_job->cancel = true;
    cmdCancel->setEnabled(false);
}

void frmChanges::addBatch(const std::vector<Change>& batch) {
    treeChanges->setUpdatesEnabled(false);
    std::map<int, QList<QTreeWidgetItem*>> added;
    for (const auto& c : batch) {
        auto* item = new QTreeWidgetItem({text(c.name), text(c.before), text(c.after)});
        added[groupKey(c)].append(item);
        if (!m_groups.count(groupKey(c))) {
            auto* group = new QTreeWidgetItem(treeChanges, {groupTitle(c)});
            group->setData(0, Qt::UserRole, groupTitle(c));
            group->setFirstColumnSpanned(true);
            group->setExpanded(true);
            m_groups[groupKey(c)] = group;
        }
    }
    for (auto& [key, items] : added) {
        QTreeWidgetItem* group = m_groups[key];
        group->addChildren(items);
        group->setText(0,
                       groupCaption(group->data(0, Qt::UserRole).toString(), group->childCount()));
    }
    m_count += batch.size();
    treeChanges->setUpdatesEnabled(true);
}

void frmChanges::showProgress(qulonglong done, qulonglong total) {
    if (total == 0) {
        prgCompare->setRange(0, 0);
        return;
    }
    // QProgressBar counts in int.
    prgCompare->setRange(0, 1000);
    prgCompare->setValue(static_cast<int>(done * 1000 / total));
}

namespace {

// What a system point alone holds and what all of them take, from the root side's sizes.list;
// empty when it does not say.
QString holding(const QString& point) {
    QFile file(QString::fromUtf8(vigilorn::kSystemPointFolder) + QLatin1Char('/') +
               QString::fromUtf8(vigilorn::kSystemPointSizesName));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = file.read(1 << 20);
    const auto sizes = vigilorn::parseSystemPointSizes(
        std::string_view(text.constData(), std::size_t(text.size())));
    const auto it = sizes.alone.find(point.toULongLong());
    if (it == sizes.alone.end())
        return {};
    QString line = QStringLiteral(" P%1 alone holds %2; the system points take %3")
                       .arg(point, QString::fromStdString(vigilorn::formatBytes(it->second)),
                            QString::fromStdString(vigilorn::formatBytes(sizes.total)));
    if (sizes.budget > 0)
        line += QStringLiteral(" of %1").arg(
            QString::fromStdString(vigilorn::formatBytes(sizes.budget)));
    return line + QLatin1Char('.');
}

} // namespace

void frmChanges::finish(bool ok, const QString& error, bool cancelled, bool unknown) {
    m_finished = true;
    cmdCancel->setEnabled(false);
    prgCompare->setVisible(false);
    // A system point the program neither made nor saw has no configuration part.
    const bool system = Module1::services.systemRestore != nullptr;
    if (system && unknown)
        lblStatus->setText(
            QStringLiteral("P%1 holds no configuration folder of yours; Restore… puts back the "
                           "system's part.")
                .arg(m_point));
    else if (cancelled)
        lblStatus->setText(QStringLiteral("Cancelled. The list shows what was found until then."));
    else if (!ok)
        lblStatus->setText(QStringLiteral("The comparison failed: ") + error);
    else if (m_count == 0)
        lblStatus->setText(QStringLiteral("Nothing has changed since P%1.").arg(m_point));
    else
        lblStatus->setText((m_count == 1 ? QStringLiteral("%1 change since P%2.")
                                         : QStringLiteral("%1 changes since P%2."))
                               .arg(m_count)
                               .arg(m_point));
    if (system && !cancelled)
        lblStatus->setText(lblStatus->text() + holding(m_point));
    // The system's part is the root side's to compare: it may have changed whatever the
    // configuration part shows.
    cmdRestore->setEnabled((ok && m_count > 0) || (system && !cancelled));
    emit comparisonFinished();
}

QStringList frmChanges::shownLines() const {
    QStringList out;
    for (int g = 0; g < treeChanges->topLevelItemCount(); ++g) {
        const QTreeWidgetItem* group = treeChanges->topLevelItem(g);
        const QString title = group->data(0, Qt::UserRole).toString();
        for (int i = 0; i < group->childCount(); ++i) {
            const QTreeWidgetItem* it = group->child(i);
            QString line = title + ": " + it->text(0);
            if (!it->text(1).isEmpty() || !it->text(2).isEmpty())
                line += " " + it->text(1) + " -> " + it->text(2);
            out << line;
        }
    }
    return out;
}

void frmChanges::Restore_Click() {
    if (isComparing())
        return;
    if (Module1::services.systemRestore) {
        frmSystemRestore* w = frmSystemRestore::showFor(m_point);
        connect(w, &frmSystemRestore::restoreFinished, this, [this](bool ok) {
            emit restoreFinished(ok);
            startComparison();
        });
        return;
    }
    RestoreChanges* changes = Module1::services.changes;
    if (!changes)
        return;
    RestorePlan plan;
    Failure f;
    {
        BusyCursor busy;
        f = changes->plan(m_point.toStdString(), plan);
    }
    if (f) {
        reportError(*f, this);
        return;
    }
    if (plan.configFiles.empty() && !plan.rootCommand) {
        MessageBox::show(this, QMessageBox::Information, windowTitle(),
                         QStringLiteral("Nothing is left to restore."));
        return;
    }
    auto* confirm = new frmRestoreConfirm(m_point, plan, changes->canRunAsRoot(), this);
    confirm->setAttribute(Qt::WA_DeleteOnClose);
    connect(confirm, &QDialog::accepted, this,
            [this, confirm, plan] { runRestore(plan, confirm->runCommands()); });
    confirm->open();
}

void frmChanges::runRestore(const RestorePlan& plan, bool runCommands) {
    RestoreChanges* changes = Module1::services.changes;
    RestoreEngine* engine = Module1::services.restore;
    if (!changes || !engine)
        return;
    bool ok = true;
    QStringList done;
    {
        BusyCursor busy;
        if (!plan.configFiles.empty()) {
            if (const Failure f = changes->restoreConfig(m_point.toStdString(), *engine)) {
                ok = false;
                MessageBox::show(this, QMessageBox::Critical, QStringLiteral("Restore failed"),
                                 QStringLiteral("The configuration folder was not restored: ") +
                                     text(f->description));
            } else {
                done << QStringLiteral("The configuration folder is back as it was at P%1.")
                            .arg(m_point);
            }
        }
        if (ok && runCommands && plan.rootCommand) {
            std::string output;
            if (const Failure f = changes->runAsRoot(*plan.rootCommand, output)) {
                ok = false;
                MessageBox::show(this, QMessageBox::Critical, QStringLiteral("Restore failed"),
                                 (done.isEmpty() ? QString() : done.join('\n') + "\n\n") +
                                     text(f->description));
            } else {
                done << QStringLiteral("Ran: ") + text(commandLine(*plan.rootCommand));
            }
        }
    }
    if (ok && !done.isEmpty())
        MessageBox::show(this, QMessageBox::Information, QStringLiteral("Restored"),
                         done.join('\n'));
    emit restoreFinished(ok);
    startComparison();
}

frmRestoreConfirm::frmRestoreConfirm(const QString& point, const RestorePlan& plan,
                                     bool canRunAsRoot, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("frmRestoreConfirm"));
    setWindowTitle(QStringLiteral("Restore P") + point);
    setAccessibleName(windowTitle());
    resize(560, 380);

    QStringList summary;
    if (!plan.configFiles.empty()) {
        int back = 0, removed = 0;
        for (const auto& c : plan.configFiles)
            (c.kind == Change::Kind::Added ? removed : back)++;
        summary << QStringLiteral("The configuration folder: %1 put back, %2 removed. First a "
                                  "restore point \"Before restoring P%3\" is made, so that this "
                                  "can be undone.")
                       .arg(files(back), files(removed), point);
    }
    if (plan.rootCommand)
        summary << QStringLiteral("This command needs administrator rights:");
    for (const auto& n : plan.notes)
        summary << text(n);

    lblSummary = new QLabel(summary.join("\n\n"), this);
    lblSummary->setObjectName(QStringLiteral("lblSummary"));
    lblSummary->setAccessibleName(QStringLiteral("What restoring does"));
    lblSummary->setTextFormat(Qt::PlainText);
    lblSummary->setWordWrap(true);

    QStringList lines;
    if (plan.rootCommand)
        lines << text(commandLine(*plan.rootCommand));
    txtCommands = new QPlainTextEdit(lines.join('\n'), this);
    txtCommands->setObjectName(QStringLiteral("txtCommands"));
    txtCommands->setAccessibleName(QStringLiteral("Command to run as root"));
    txtCommands->setReadOnly(true);
    txtCommands->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtCommands->setVisible(!lines.isEmpty());

    cmdCopy = new QPushButton(QStringLiteral("Copy"), this);
    cmdCopy->setObjectName(QStringLiteral("cmdCopy"));
    cmdCopy->setAccessibleName(QStringLiteral("Copy"));
    cmdCopy->setVisible(!lines.isEmpty());
    cmdCopy->setAutoDefault(false);

    chkRun =
        new QCheckBox(::geteuid() == 0 ? QStringLiteral("Run this command now")
                                       : QStringLiteral("Run this command now, through pkexec"),
                      this);
    chkRun->setObjectName(QStringLiteral("chkRun"));
    chkRun->setAccessibleName(chkRun->text());
    chkRun->setVisible(!lines.isEmpty() && canRunAsRoot);
    // Unticked: running anything as root is the user's choice each time.
    chkRun->setChecked(false);

    cmdOK = new QPushButton(QStringLiteral("Restore"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setAccessibleName(QStringLiteral("Restore"));
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setAccessibleName(QStringLiteral("Cancel"));
    cmdCancel->setDefault(true);
    // Nothing for the program to do itself and nothing it may run: only the copy is left.
    cmdOK->setEnabled(!plan.configFiles.empty() || chkRun->isChecked());

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdCopy);
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblSummary);
    layout->addWidget(txtCommands, 1);
    if (lines.isEmpty())
        layout->addStretch(1);
    layout->addWidget(chkRun);
    layout->addLayout(buttons);

    connect(cmdCopy, &QPushButton::clicked, this,
            [this] { QApplication::clipboard()->setText(txtCommands->toPlainText() + "\n"); });
    const bool ownPart = !plan.configFiles.empty();
    connect(chkRun, &QCheckBox::toggled, this,
            [this, ownPart](bool on) { cmdOK->setEnabled(ownPart || on); });
    connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
}

bool frmRestoreConfirm::runCommands() const {
    return !chkRun->isHidden() && chkRun->isChecked();
}
