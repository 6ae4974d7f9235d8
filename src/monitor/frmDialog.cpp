#include "frmDialog.h"

#include "InstallerMonitor.h"
#include "app/Module1.h"
#include "ui/Artwork.h"
#include "ui/ErrorReport.h"
#include "ui/WindowOnTop.h"

#include <QLabel>

using namespace vigilorn;

frmDialog::frmDialog()
    : ImageList1(
          makeImageList({{QStringLiteral("Yes"), {79, 22}}, {QStringLiteral("No"), {79, 22}}})) {
    setObjectName(QStringLiteral("frmDialog"));
    setWindowTitle(QStringLiteral("Vigilorn Message"));

    Label1 = new QLabel(this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(32, 8, 193, 81);
    Label1->setFont(tahoma(8.25, true));
    Label1->setWordWrap(true);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label1->setTextFormat(Qt::PlainText);

    Picture1 = new ImageButton(this, ImageList1, 1, 2, QStringLiteral("Yes"));
    Picture1->setObjectName(QStringLiteral("Picture1"));
    Picture1->setGeometry(48, 112, 78, 21);
    Picture2 = new ImageButton(this, ImageList1, 3, 4, QStringLiteral("No"));
    Picture2->setObjectName(QStringLiteral("Picture2"));
    Picture2->setGeometry(128, 112, 78, 21);
    connect(Picture1, &ImageButton::clicked, this, &frmDialog::Picture1_Click);
    connect(Picture2, &ImageButton::clicked, this, &frmDialog::Picture2_Click);

    Module1::setWindowOnTop(this, true);
}

void frmDialog::Picture1_Click() {
    HandlerScope scope(this);
    guarded([&] {
        Module1::restorePointConfirmed = true;
        if (m_monitor) {
            m_monitor->answerHeld(HeldChange::Answer::Go);
            m_monitor->haveDoneRestore();
        }
        unload();
    });
}

void frmDialog::Picture2_Click() {
    HandlerScope scope(this);
    guarded([&] {
        Module1::restorePointConfirmed = false;
        if (m_monitor)
            m_monitor->secondMessage();
        unload();
    });
}
