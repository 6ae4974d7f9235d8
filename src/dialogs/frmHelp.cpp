#include "frmHelp.h"

#include "RtfReader.h"
#include "app/Module1.h"
#include "ui/Artwork.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QShowEvent>
#include <QTextBrowser>
#include <QTextDocument>

using namespace vigilorn;

namespace {

// Larger than any help document; a bigger file is not read into memory.
constexpr qint64 kMaxDocumentBytes = 64 * 1024 * 1024;

} // namespace

frmHelp::frmHelp() {
    setObjectName(QStringLiteral("frmHelp"));
    setWindowTitle(QStringLiteral("Help"));
    setWindowIcon(programIcon());
    setFixedSize(714, 338);

    RichTextBox1 = new QTextBrowser(this);
    RichTextBox1->setObjectName(QStringLiteral("RichTextBox1"));
    RichTextBox1->setAccessibleName(QStringLiteral("Help and licence"));
    RichTextBox1->setGeometry(0, 0, 713, 337);
    RichTextBox1->setReadOnly(true);
    RichTextBox1->setOpenLinks(false);
    RichTextBox1->setFont(tahoma(8.5));
}

QString frmHelp::findDocument() {
    const QString dirs[] = {Module1::services.appDir, QStringLiteral(VIGILORN_DATADIR)};
    for (const QString& dir : dirs) {
        if (dir.isEmpty())
            continue;
        const QString path = QDir(dir).filePath(kFileName);
        if (QFileInfo(path).isFile())
            return path;
    }
    return {};
}

void frmHelp::loadDocument() {
    auto* doc = new QTextDocument(RichTextBox1);
    doc->setDefaultFont(tahoma(8.5));

    QString problem;
    const QString path = findDocument();
    if (path.isEmpty()) {
        problem = QStringLiteral("The help file %1 could not be found.").arg(kFileName);
    } else {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxDocumentBytes) {
            problem = QStringLiteral("The help file %1 could not be read.").arg(kFileName);
        } else {
            const QByteArray bytes = file.read(kMaxDocumentBytes);
            if (file.error() != QFileDevice::NoError)
                problem = QStringLiteral("The help file %1 could not be read.").arg(kFileName);
            else if (!readRtf(bytes, *doc).isRtf)
                problem = QStringLiteral("The help file %1 is damaged and cannot be shown.")
                              .arg(kFileName);
        }
    }
    if (!problem.isEmpty())
        doc->setPlainText(problem);

    // The browser deletes its own first document itself; later ones are ours to delete.
    QTextDocument* old = RichTextBox1->document();
    const bool ours = old && old->parent() == RichTextBox1;
    RichTextBox1->setDocument(doc);
    if (ours)
        delete old;
}

void frmHelp::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    // A window coming back from being minimised keeps what it shows.
    if (!e->spontaneous()) {
        loadDocument();
        centreOnScreen();
    }
}
