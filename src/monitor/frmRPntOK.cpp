#include "frmRPntOK.h"

#include "ui/Artwork.h"

#include <QLabel>

using namespace vigilorn;

frmRPntOK::frmRPntOK()
    : ImageList1(makeImageList({{QStringLiteral("OK"), {88, 28}},
                                {QStringLiteral("Create Restore Point"), {147, 18}}})) {
    setObjectName(QStringLiteral("frmRPntOK"));
    setWindowTitle(QStringLiteral("Restore point Created"));

    Label1 = new QLabel(QStringLiteral("Restore Point Created Successfully!"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(16, 16, 225, 41);
    Label1->setFont(tahoma(12, true));
    Label1->setWordWrap(true);

    Picture1 = new ImageButton(this, ImageList1, 1, 2, QStringLiteral("OK"));
    Picture1->setObjectName(QStringLiteral("Picture1"));
    Picture1->setGeometry(88, 114, 87, 25);
    connect(Picture1, &ImageButton::clicked, this, [this] { accept(); });
}

void frmRPntOK::confirmModally() {
    // A confirmation still open from the second reminder is modeless, and a shown window does not
    // become modal: this one is opened afresh.
    if (frmRPntOK* open = loaded())
        open->unload();
    frmRPntOK* ok = instance();
    ok->setWindowModality(Qt::ApplicationModal);
    ok->exec();
}
