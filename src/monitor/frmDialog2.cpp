#include "frmDialog2.h"
#include "frmRPntOK.h"

#include "app/Module1.h"
#include "app/RestorePointService.h"
#include "platform/PointRequest.h"
#include "ui/Artwork.h"
#include "ui/ErrorReport.h"
#include "ui/WindowOnTop.h"

#include <QLabel>

using namespace vigilorn;

frmDialog2::frmDialog2()
    : ImageList1(makeImageList({{QStringLiteral("OK"), {88, 28}},
                                {QStringLiteral("Create Restore Point"), {147, 18}}})) {
    setObjectName(QStringLiteral("frmDialog2"));
    setWindowTitle(QStringLiteral("Vigilorn Message"));

    Label1 = new QLabel(this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(31, 16, 193, 81);
    Label1->setFont(tahoma(8.25, true));
    Label1->setWordWrap(true);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label1->setTextFormat(Qt::PlainText);

    Picture3 = new ImageButton(this, ImageList1, 3, 4, QStringLiteral("Create Restore Point"));
    Picture3->setObjectName(QStringLiteral("Picture3"));
    Picture3->setGeometry(8, 120, 147, 17);
    // OK never shows its pressed face.
    Picture1 = new ImageButton(this, ImageList1, 1, 0, QStringLiteral("OK"));
    Picture1->setObjectName(QStringLiteral("Picture1"));
    Picture1->setGeometry(152, 114, 87, 25);
    connect(Picture3, &ImageButton::clicked, this, &frmDialog2::Picture3_Click);
    connect(Picture1, &ImageButton::clicked, this, [this] {
        if (m_monitor)
            m_monitor->answerHeld(HeldChange::Answer::Go);
        unload();
    });

    Module1::setWindowOnTop(this, true);
}

void frmDialog2::CreatePointAuto() {
    hide();
    if (m_monitor && m_monitor->holding()) {
        m_monitor->answerHeld(HeldChange::Answer::Point);
        unload();
        return;
    }
    if (!Module1::services.restore)
        throw RuntimeError(ErrorNumber::CantPerformOperation);
    RequestRestorePoint(*Module1::services.restore, std::string(pointreq::kAskedDescription));
    frmRPntOK::instance()->show();
    unload();
}

void frmDialog2::Picture3_Click() {
    HandlerScope scope(this);
    guarded([&] { CreatePointAuto(); });
}
