#include "frmSystemRestore.h"

#include "app/Module1.h"
#include "platform/RestoreChanges.h"
#include "platform/RestoreEngine.h"
#include "ui/Artwork.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

using namespace vigilorn;

namespace {

QString text(const std::string& s) {
    return QString::fromStdString(s);
}

// restoreConfig's undo point, made as the root side's "before" point's configuration part
// instead of a point of its own.
class BeforePoint final : public RestoreEngine {
public:
    BeforePoint(RestoreEngine& engine, std::uint64_t number) : m_engine(engine), m_number(number) {}

    bool used = false;

    std::string displayName() const override { return m_engine.displayName(); }
    Failure createRestorePoint(const std::string& description, int restorePointType,
                               int eventType) override {
        return createRestorePointKeeping(description, restorePointType, eventType, {});
    }
    Failure createRestorePointKeeping(const std::string& description, int, int,
                                      const std::string& keep) override {
        used = true;
        return m_engine.adoptRestorePoint(m_number, description, keep);
    }
    Failure listRestorePoints(std::vector<RestorePointRecord>& out) override {
        return m_engine.listRestorePoints(out);
    }

private:
    RestoreEngine& m_engine;
    const std::uint64_t m_number;
};

} // namespace

frmSystemRestore* frmSystemRestore::showFor(const QString& point) {
    auto* w = new frmSystemRestore(point, nullptr);
    w->setAttribute(Qt::WA_DeleteOnClose);
    w->show();
    w->raise();
    w->activateWindow();
    return w;
}

frmSystemRestore::frmSystemRestore(const QString& point, QWidget* parent)
    : QDialog(parent, Qt::Window), m_point(point) {
    setObjectName(QStringLiteral("frmSystemRestore"));
    setWindowTitle(QStringLiteral("Restore P") + point);
    setAccessibleName(windowTitle());
    setWindowIcon(programIcon());
    setModal(false);
    resize(560, 380);

    lblStatus = new QLabel(
        QStringLiteral(
            "Restore P%1: the packages go back to their versions at P%1, packages installed "
            "since are removed, and /etc is put back with its owners and modes. Your "
            "configuration folder is put back too when P%1 holds it.\n\nFirst a restore point "
            "\"Before restoring P%1\" is made, so that this can be undone. Restoring needs an "
            "administrator.")
            .arg(point),
        this);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    lblStatus->setAccessibleName(QStringLiteral("Restore status"));
    lblStatus->setTextFormat(Qt::PlainText);
    lblStatus->setWordWrap(true);

    prgRestore = new QProgressBar(this);
    prgRestore->setObjectName(QStringLiteral("prgRestore"));
    prgRestore->setAccessibleName(QStringLiteral("Restore progress"));
    prgRestore->setVisible(false);

    txtReport = new QPlainTextEdit(this);
    txtReport->setObjectName(QStringLiteral("txtReport"));
    txtReport->setAccessibleName(QStringLiteral("What was done"));
    txtReport->setReadOnly(true);
    txtReport->setVisible(false);

    auto button = [this](const char* name, const QString& caption) {
        auto* b = new QPushButton(caption, this);
        b->setObjectName(QString::fromLatin1(name));
        b->setAccessibleName(caption);
        b->setAutoDefault(false);
        return b;
    };
    cmdRestore = button("cmdRestore", QStringLiteral("Restore"));
    cmdCancel = button("cmdCancel", QStringLiteral("Cancel"));
    cmdGoOn = button("cmdGoOn", QStringLiteral("Go On Without Them"));
    cmdStop = button("cmdStop", QStringLiteral("Stop"));
    cmdClose = button("cmdClose", QStringLiteral("Close"));
    cmdCancel->setDefault(true);
    for (auto* b : {cmdGoOn, cmdStop, cmdClose})
        b->setVisible(false);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    for (auto* b : {cmdRestore, cmdCancel, cmdGoOn, cmdStop, cmdClose})
        buttons->addWidget(b);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblStatus);
    layout->addWidget(prgRestore);
    layout->addWidget(txtReport, 1);
    layout->addStretch();
    layout->addLayout(buttons);

    connect(cmdRestore, &QPushButton::clicked, this, &frmSystemRestore::start);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::close);
    connect(cmdGoOn, &QPushButton::clicked, this, [this] { answer(true); });
    connect(cmdStop, &QPushButton::clicked, this, [this] { answer(false); });
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::close);
}

void frmSystemRestore::reject() {
    // The root side's run is one operation: it is not left unwatched.
    if (!m_running)
        QDialog::reject();
}

void frmSystemRestore::closeEvent(QCloseEvent* event) {
    if (m_running)
        event->ignore();
    else
        QDialog::closeEvent(event);
}

QStringList frmSystemRestore::reportLines() const {
    const QString all = txtReport->toPlainText();
    return all.isEmpty() ? QStringList() : all.split('\n');
}

void frmSystemRestore::report(const QString& line) {
    txtReport->appendPlainText(line);
}

void frmSystemRestore::start() {
    SystemRestore* restore = Module1::services.systemRestore;
    bool isNumber = false;
    const qulonglong number = m_point.toULongLong(&isNumber);
    if (!restore || !isNumber || m_running)
        return;
    QPointer<frmSystemRestore> self(this);
    SystemRestore::Events events;
    events.ask = [self](const std::vector<SystemRestore::Missing>& missing) {
        if (self)
            self->ask(missing);
        else if (Module1::services.systemRestore)
            Module1::services.systemRestore->answer(false);
    };
    events.step = [self](std::uint64_t done, std::uint64_t total, const std::string& what) {
        if (!self)
            return;
        // QProgressBar counts in int.
        self->prgRestore->setRange(0, total == 0 ? 0 : 1000);
        if (total != 0)
            self->prgRestore->setValue(static_cast<int>(done * 1000 / total));
        self->lblStatus->setText(text(what));
        self->report(text(what));
        // The third step makes the point before restoring: the machine starts changing.
        self->m_underWay = self->m_underWay || done >= 2;
    };
    events.warn = [self](const std::string& what) {
        if (self)
            self->report((self->m_underWay ? QStringLiteral("Failed: ")
                                           : QStringLiteral("Before going on: ")) +
                         text(what));
    };
    events.before = [self](std::uint64_t n) {
        if (self)
            self->report(QStringLiteral("Made the restore point P%1 \"Before restoring P%2\".")
                             .arg(n)
                             .arg(self->m_point));
    };
    events.finished = [self](const SystemRestore::Result& result) {
        if (self)
            self->finished(result);
    };
    if (!restore->start(number, std::move(events))) {
        lblStatus->setText(QStringLiteral("Another restore is still running."));
        return;
    }
    m_running = true;
    m_underWay = false;
    cmdRestore->setVisible(false);
    cmdCancel->setVisible(false);
    cmdClose->setVisible(true);
    cmdClose->setEnabled(false);
    prgRestore->setRange(0, 0);
    prgRestore->setVisible(true);
    txtReport->setVisible(true);
    lblStatus->setText(QStringLiteral("Restoring P%1…").arg(m_point));
}

void frmSystemRestore::ask(const std::vector<SystemRestore::Missing>& missing) {
    QStringList lines;
    for (const auto& m : missing)
        lines << QStringLiteral("%1 %2 (%3)").arg(text(m.name), text(m.version), text(m.arch));
    if (lines.isEmpty()) {
        lblStatus->setText(QStringLiteral("Go on restoring P%1?").arg(m_point));
    } else {
        lblStatus->setText(
            QStringLiteral("These versions of P%1 can no longer be had, neither from the kept "
                           "packages nor from the archive. Going on leaves them as they are now; "
                           "Stop ends the restore before anything changed.")
                .arg(m_point));
        report(QStringLiteral("Not to be had any more: ") + lines.join(QStringLiteral(", ")));
    }
    cmdGoOn->setVisible(true);
    cmdStop->setVisible(true);
    cmdStop->setFocus();
}

void frmSystemRestore::answer(bool go) {
    m_underWay = go;
    cmdGoOn->setVisible(false);
    cmdStop->setVisible(false);
    lblStatus->setText(go ? QStringLiteral("Restoring P%1…").arg(m_point)
                          : QStringLiteral("Stopping…"));
    if (SystemRestore* restore = Module1::services.systemRestore)
        restore->answer(go);
}

bool frmSystemRestore::restoreConfiguration(std::uint64_t before) {
    RestoreChanges* changes = Module1::services.changes;
    RestoreEngine* engine = Module1::services.restore;
    if (!changes || !engine)
        return true;
    BeforePoint undo(*engine, before);
    Failure f;
    {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        f = changes->restoreConfig(m_point.toStdString(), undo);
        QApplication::restoreOverrideCursor();
    }
    // Even without anything to put back, the point made before restoring keeps the folder.
    if (!undo.used)
        if (const Failure g = engine->adoptRestorePoint(
                before, "Before restoring P" + m_point.toStdString(), m_point.toStdString()))
            report(QStringLiteral("Failed: the configuration folder was not recorded in P%1: %2")
                       .arg(before)
                       .arg(text(g->description)));
    if (f && f->number == RestoreChanges::kUnknownPoint) {
        report(QStringLiteral("P%1 holds no configuration folder of yours: it stays as it is.")
                   .arg(m_point));
        return true;
    }
    if (f) {
        report(QStringLiteral("Failed: the configuration folder was not restored: ") +
               text(f->description));
        return false;
    }
    report(QStringLiteral("The configuration folder is back as it was at P%1.").arg(m_point));
    return true;
}

void frmSystemRestore::finished(const SystemRestore::Result& result) {
    bool ok = result.outcome == SystemRestore::Outcome::Ok;
    if (!result.text.empty() && result.outcome != SystemRestore::Outcome::Failed)
        report(text(result.text));
    // Only after the root side made its point can the folder's own change be undone.
    if (result.outcome != SystemRestore::Outcome::Stopped && result.before)
        ok = restoreConfiguration(*result.before) && ok;
    else if (result.outcome == SystemRestore::Outcome::Failed)
        report(QStringLiteral("The configuration folder was left as it is."));

    QString status;
    switch (result.outcome) {
    case SystemRestore::Outcome::Ok:
        status =
            ok && result.warnings.empty()
                ? QStringLiteral("P%1 is restored.").arg(m_point)
                : QStringLiteral("P%1 is restored, but not everything: see above.").arg(m_point);
        break;
    case SystemRestore::Outcome::Stopped:
        status = QStringLiteral("The restore was stopped before anything changed.");
        break;
    case SystemRestore::Outcome::Failed:
        status = QStringLiteral("The restore failed: ") + text(result.text);
        break;
    }
    lblStatus->setText(status);
    report(status);
    prgRestore->setVisible(false);
    cmdGoOn->setVisible(false);
    cmdStop->setVisible(false);
    m_running = false;
    cmdClose->setEnabled(true);
    cmdClose->setDefault(true);
    cmdClose->setFocus();
    emit restoreFinished(ok && result.warnings.empty());
}
