#include "frmOptions.h"

#include "app/AppOptions.h"
#include "app/Module1.h"
#include "app/SettingsStore.h"
#include "platform/Autorun.h"
#include "ui/Artwork.h"
#include "ui/ErrorReport.h"
#include "ui/MessageBox.h"

#include <QCheckBox>
#include <QFontMetrics>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>

#include <algorithm>

using namespace vigilorn;

namespace {

// The user toggles between checked and unchecked; grayed only ever comes from a stored value.
class OptionBox : public QCheckBox {
public:
    using QCheckBox::QCheckBox;

protected:
    void nextCheckState() override {
        setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
    }
};

QFrame* makeShape(QWidget* parent, const char* name, const QString& accessibleName,
                  const QRect& geometry) {
    auto* f = new QFrame(parent);
    f->setObjectName(QString::fromLatin1(name));
    f->setAccessibleName(accessibleName);
    f->setGeometry(geometry);
    f->setStyleSheet(QStringLiteral("QFrame#%1 { border: 1px solid #2f5f2b; border-radius: 4px;"
                                    " background: rgba(255, 255, 255, 70); }")
                         .arg(f->objectName()));
    return f;
}

// Tahoma's stand-ins are wider: the text is made smaller until it fits, so none is cut off.
QFont fittedFont(const QString& text, int width) {
    QFont f = tahoma(8.25);
    while (f.pointSizeF() > 6 && QFontMetrics(f).horizontalAdvance(text) > width)
        f.setPointSizeF(f.pointSizeF() - 0.25);
    return f;
}

const QString kMessageCaption =
    QStringLiteral("Select your own message to appear in the second message box");

} // namespace

frmOptions::frmOptions()
    : ImageList1(makeImageList({{QStringLiteral("OK"), {81, 25}},
                                {QStringLiteral("Apply"), {81, 25}},
                                {QStringLiteral("Cancel"), {81, 25}}})) {
    setObjectName(QStringLiteral("frmOptions"));
    setWindowTitle(QStringLiteral("Options"));
    setWindowIcon(programIcon());
    setFixedSize(386, 429);

    chkAutoRun = addRow(0, "Shape1", "Label2", "chkAutoRun",
                        QStringLiteral("Auto Run when Windows starts"), 209, Shape1, Label2);
    chkStartMinimised =
        addRow(1, "Shape2", "Label1", "chkStartMinimised",
               QStringLiteral("Start mimimised to Tray when Windows starts"), 257, Shape2, Label1);
    chkSplash = addRow(2, "Shape3", "Label4", "chkSplash",
                       QStringLiteral("Show Splash Screen at StartUp"), 209, Shape3, Label4);
    chkBorder = addRow(3, "Shape4", "Label5", "chkBorder",
                       QStringLiteral("Show Main Screen Border at StartUp"), 209, Shape4, Label5);

    Shape5 = makeShape(this, "Shape5", QStringLiteral("Message setting"), QRect(24, 264, 337, 89));
    Label3 = new QLabel(kMessageCaption, this);
    Label3->setObjectName(QStringLiteral("Label3"));
    Label3->setAccessibleName(kMessageCaption);
    Label3->setGeometry(32, 272, 321, 17);
    Label3->setFont(fittedFont(kMessageCaption, 321));
    // Shown only: nothing reads or saves it yet.
    Text1 =
        new QPlainTextEdit(QStringLiteral("This feature is coming soon in the next version"), this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setAccessibleName(kMessageCaption);
    Text1->setGeometry(32, 296, 321, 49);
    Text1->setFont(tahoma(8.25));
    Text1->setTabChangesFocus(true);
    Label3->setBuddy(Text1);

    Picture1 = new ImageButton(this, ImageList1, 1, 2, QStringLiteral("OK"));
    Picture1->setObjectName(QStringLiteral("Picture1"));
    Picture1->setGeometry(57, 360, 80, 25);
    Picture2 = new ImageButton(this, ImageList1, 3, 4, QStringLiteral("Apply"));
    Picture2->setObjectName(QStringLiteral("Picture2"));
    Picture2->setGeometry(153, 360, 80, 25);
    Picture3 = new ImageButton(this, ImageList1, 5, 6, QStringLiteral("Cancel"));
    Picture3->setObjectName(QStringLiteral("Picture3"));
    Picture3->setGeometry(249, 360, 80, 25);
    connect(Picture1, &ImageButton::clicked, this, &frmOptions::Picture1_Click);
    connect(Picture2, &ImageButton::clicked, this, &frmOptions::Picture2_Click);
    connect(Picture3, &ImageButton::clicked, this, &frmOptions::Picture3_Click);

    setTabOrder(chkAutoRun, chkStartMinimised);
    setTabOrder(chkStartMinimised, chkSplash);
    setTabOrder(chkSplash, chkBorder);
    setTabOrder(chkBorder, Text1);
    chkAutoRun->setFocus();

    const Options& o = Module1::AppOptions;
    load(chkAutoRun, o.RunAtStartUP);
    load(chkStartMinimised, o.StartMinimised);
    load(chkSplash, o.ShowSplashStartUP);
    load(chkBorder, o.ShowFormBorder);
    // Connected after loading: only a later change of a box discards its kept value.
    for (Row& r : m_rows)
        connect(r.box, &QCheckBox::stateChanged, this, [&r] { r.kept.reset(); });
}

QCheckBox* frmOptions::addRow(int index, const char* frameName, const char* labelName,
                              const char* boxName, const QString& text, int labelWidth,
                              QFrame*& frame, QLabel*& label) {
    const int top = 40 + 56 * index;
    frame = makeShape(this, frameName, text + QStringLiteral(" setting"), QRect(24, top, 337, 49));
    label = new QLabel(text, this);
    label->setObjectName(QString::fromLatin1(labelName));
    label->setAccessibleName(text);
    label->setGeometry(32, top + 16, labelWidth, 25);
    // Kept clear of the check box.
    label->setFont(fittedFont(text, std::min(labelWidth, 280 - 32 - 4)));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    auto* box = new OptionBox(this);
    box->setObjectName(QString::fromLatin1(boxName));
    box->setAccessibleName(text);
    box->setTristate(true);
    box->setGeometry(280, top + 16, 17, 17);
    label->setBuddy(box);
    m_rows[index] = Row{box, std::nullopt};
    return box;
}

void frmOptions::load(QCheckBox* box, std::int16_t stored) {
    for (Row& r : m_rows) {
        if (r.box != box)
            continue;
        switch (stored) {
        case 0:
            box->setCheckState(Qt::Unchecked);
            break;
        case 1:
            box->setCheckState(Qt::Checked);
            break;
        case 2:
            box->setCheckState(Qt::PartiallyChecked);
            break;
        default:
            box->setCheckState(Qt::Unchecked);
            r.kept = stored;
            break;
        }
    }
}

int frmOptions::boxValue(const QCheckBox* box) const {
    for (const Row& r : m_rows)
        if (r.box == box && r.kept)
            return *r.kept;
    switch (box->checkState()) {
    case Qt::Checked:
        return 1;
    case Qt::PartiallyChecked:
        return 2;
    case Qt::Unchecked:
        break;
    }
    return 0;
}

void frmOptions::save(const char* key, std::int16_t value) {
    if (auto* s = Module1::services.settings)
        s->writeText(kOptionsSection, QString::fromLatin1(key), QString::number(value));
}

void frmOptions::warnBeforeReplacingADamagedFile() {
    const SettingsStore* s = Module1::services.settings;
    if (!s || !s->isDamaged())
        return;
    MessageBox::show(this, QMessageBox::Warning, QStringLiteral("Options"),
                     QStringLiteral("The settings file %1 could not be read. It is kept as %2, "
                                    "and a new settings file is written with these options and "
                                    "the settings that could be read.")
                         .arg(s->fileName(), s->damagedCopyName()));
}

void frmOptions::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    centreOnScreen();
}

void frmOptions::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::TextAntialiasing);
    paintGreenGradient(p, rect());
    paintBand(p, QRect(0, 0, width(), 32), QStringLiteral("Program Options"), tahoma(12, true));
    paintBand(p, QRect(0, 393, width(), height() - 393),
              QStringLiteral("Quillmere Vigilorn is provided \"as is\", without warranty of any "
                             "kind. Copyright (c) 2026 Quillmere Computer Services and Software."),
              tahoma(6.75));
}

void frmOptions::Picture1_Click() {
    HandlerScope scope(this);
    Picture2_Click();
    // A failed Apply has been reported and left the window open; OK still closes it.
    if (!isUnloading())
        unload();
}

void frmOptions::Picture2_Click() {
    HandlerScope scope(this);
    guarded(
        [&] {
            Options& o = Module1::AppOptions;
            o.StartMinimised = boxValue(chkStartMinimised) == 1 ? 1 : 0;

            const auto autoRun = static_cast<std::int16_t>(boxValue(chkAutoRun));
            Autorun* autorun = Module1::services.autorun;
            if (autoRun == 1) {
                if (!autorun)
                    throw RuntimeError(ErrorNumber::CantPerformOperation);
                // An entry that would not start the program is not written: the user is told
                // why, and Apply ends with nothing saved, as after a failed write.
                if (const auto problem = autorun->checkCommand(Module1::exePath.toStdString())) {
                    MessageBox::show(this, QMessageBox::Warning, QStringLiteral("Options"),
                                     QString::fromStdString(problem->description));
                    return;
                }
                // A failure is reported and ends Apply: nothing after it is saved.
                throwIfFailed(autorun->write(Module1::exePath.toStdString()));
            } else if (autorun) {
                // A failure is reported and ends Apply, as a failed write does.
                throwIfFailed(autorun->remove());
            }
            o.RunAtStartUP = autoRun;
            warnBeforeReplacingADamagedFile();
            save("RunAtStartUP", o.RunAtStartUP);
            save("StartMinimised", o.StartMinimised);
            o.ShowSplashStartUP = static_cast<std::int16_t>(boxValue(chkSplash));
            save("ShowSplashStartUP", o.ShowSplashStartUP);
            o.ShowFormBorder = static_cast<std::int16_t>(boxValue(chkBorder));
            save("ShowFormBorder", o.ShowFormBorder);
            unload();
        },
        this);
}

void frmOptions::Picture3_Click() {
    unload();
}

void frmOptions::reject() {
    // Escape: as Cancel.
    Picture3_Click();
}

void frmOptions::keyPressEvent(QKeyEvent* e) {
    // The picture buttons take no focus, so Enter stands for OK.
    if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
        e->accept();
        Picture1_Click();
        return;
    }
    QDialog::keyPressEvent(e);
}
