#include "frmRestorePoints.h"
#include "app/RestorePointService.h"
#include "frmChanges.h"
#include "frmSystemRestore.h"

#include "app/Module1.h"
#include "platform/RestoreEngine.h"
#include "ui/Artwork.h"
#include "ui/ErrorReport.h"
#include "ui/MessageBox.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QStyleOptionButton>
#include <QStylePainter>

using namespace vigilorn;

namespace {

constexpr int px(int twips) {
    return (twips + 7) / 15;
}
QRect twips(int l, int t, int w, int h) {
    return {px(l), px(t), px(w), px(h)};
}

QPixmap paintCross(QSize size, bool pressed) {
    QPixmap pm(size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(pm.rect()).adjusted(1.5, 1.5, -1.5, -1.5);
    p.setBrush(pressed ? QColor(0x8a, 0x10, 0x10) : QColor(0xd8, 0x2a, 0x22));
    p.setPen(QPen(QColor(0x50, 0x08, 0x08), 1));
    p.drawRoundedRect(r, 4, 4);
    p.setPen(
        QPen(pressed ? QColor(0xe0, 0xc0, 0xc0) : Qt::white, 2.5, Qt::SolidLine, Qt::RoundCap));
    const QRectF c = r.adjusted(6, 6, -6, -6);
    p.drawLine(c.topLeft(), c.bottomRight());
    p.drawLine(c.topRight(), c.bottomLeft());
    return pm;
}

// A modal wait of its own that keeps the window painted: busy cursor while the engine works.
class BusyCursor {
public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
};

} // namespace

WrapButton::WrapButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {}

void WrapButton::paintEvent(QPaintEvent*) {
    QStylePainter p(this);
    QStyleOptionButton opt;
    initStyleOption(&opt);
    opt.text.clear();
    p.drawControl(QStyle::CE_PushButton, opt);
    p.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    p.drawText(rect().adjusted(4, 4, -4, -4), Qt::AlignCenter | Qt::TextWordWrap, text());
}

frmRestorePoints::frmRestorePoints()
    : ImageList1{paintCross({24, 24}, false), paintCross({23, 24}, true)} {
    setObjectName(QStringLiteral("frmRestorePoints"));
    setWindowTitle(QStringLiteral("Restore Points"));
    setWindowIcon(programIcon());
    setFixedSize(px(5790), px(6435));
    setFont(tahoma(8.25));

    QPalette green = palette();
    green.setColor(QPalette::Button, kPanelGreen);
    green.setColor(QPalette::Window, kPanelGreen);

    listview2 = new QListWidget(this);
    listview2->setObjectName(QStringLiteral("listview2"));
    listview2->setAccessibleName(QStringLiteral("Current Restore Points"));
    listview2->setGeometry(twips(120, 600, 5535, 4155));
    listview2->setSortingEnabled(false);

    Command1 = new WrapButton(QStringLiteral("Show Current System Restore Points"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(twips(368, 4920, 975, 1095));
    Command1->setPalette(green);

    Label1 = new QLabel(
        QStringLiteral("Description of New Restore Point. (Date & Time appended automatically)"),
        this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setTextFormat(Qt::PlainText);
    Label1->setGeometry(twips(1920, 4920, 2055, 615));
    Label1->setWordWrap(true);
    Label1->setAlignment(Qt::AlignCenter);
    Label1->setAutoFillBackground(true);
    Label1->setPalette(green);

    Text1 = new QLineEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(twips(2040, 5640, 1815, 375));
    Text1->setMaxLength(kMaxDescription);
    Text1->setAccessibleName(QStringLiteral("Description of New Restore Point"));

    Command2 = new WrapButton(QStringLiteral("Create a New System Restore Point"), this);
    Command2->setObjectName(QStringLiteral("Command2"));
    Command2->setGeometry(twips(4448, 4920, 975, 1095));
    Command2->setPalette(green);

    Picture1 = new ImageButton(this, ImageList1, 1, 2, QStringLiteral("Close"));
    Picture1->setObjectName(QStringLiteral("Picture1"));
    Picture1->setGeometry(twips(5410, 60, 355, 355));

    lblEngine = new QLabel(this);
    lblEngine->setObjectName(QStringLiteral("lblEngine"));
    lblEngine->setGeometry(8, height() - 22, width() - 16, 18);
    lblEngine->setFont(tahoma(7.5));
    lblEngine->setStyleSheet(QStringLiteral("color: #eef6e8"));
    showEngine();

    setTabOrder(listview2, Command1);
    setTabOrder(Command1, Text1);
    setTabOrder(Text1, Command2);

    // A line opens what changed since its point: double-click, Enter or the context menu.
    connect(listview2, &QListWidget::itemDoubleClicked, this, &frmRestorePoints::ShowChanges);
    listview2->installEventFilter(this);
    listview2->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(listview2, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        QListWidgetItem* item = listview2->itemAt(pos);
        if (!item)
            return;
        QMenu menu(this);
        menu.addAction(QStringLiteral("Show changes since this point"), this,
                       [this, item] { ShowChanges(item); });
        if (Module1::services.systemRestore) {
            const QString point = item->data(Qt::UserRole).toString();
            menu.addAction(QStringLiteral("Restore…"), this,
                           [point] { frmSystemRestore::showFor(point); });
        }
        menu.exec(listview2->viewport()->mapToGlobal(pos));
    });

    connect(Command1, &QPushButton::clicked, this, &frmRestorePoints::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &frmRestorePoints::Command2_Click);
    connect(Picture1, &ImageButton::clicked, this, [this] { reject(); });
}

void frmRestorePoints::showEngine() {
    auto* engine = Module1::services.restore;
    if (!engine)
        return;
    QString text =
        QStringLiteral("Restore points go to: ") + QString::fromStdString(engine->displayName());
    if (const std::size_t n = engine->leftOutOfNewest())
        text += n == 1 ? QStringLiteral(" (1 file left out of the newest point)")
                       : QStringLiteral(" (%1 files left out of the newest point)").arg(n);
    lblEngine->setText(text);
    lblEngine->setToolTip(text);
}

void frmRestorePoints::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    centreOnScreen();
}

bool frmRestorePoints::eventFilter(QObject* watched, QEvent* event) {
    // Taken here: the dialog would otherwise press its default button as well.
    if (watched == listview2 && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) && listview2->currentItem()) {
            ShowChanges(listview2->currentItem());
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void frmRestorePoints::ShowChanges(QListWidgetItem* item) {
    const QString point = item ? item->data(Qt::UserRole).toString() : QString();
    if (!point.isEmpty())
        frmChanges::showFor(point, this);
}

void frmRestorePoints::paintEvent(QPaintEvent*) {
    QPainter p(this);
    paintGreenGradient(p, rect());
    const QFont band = tahoma(9.75, true);
    paintBand(p, QRect(0, 0, width(), px(560)), QStringLiteral("Current Restore Points"), band);
    paintBand(p, QRect(0, height() - 26, width(), 26), QString(), band);
}

void frmRestorePoints::ListPoints() {
    listview2->clear();
    const auto points = ReadRestorePoints(*Module1::services.restore);
    for (const auto& r : points) {
        auto* item = new QListWidgetItem(QString::fromStdString(FormatRestorePointLine(r)));
        item->setData(Qt::UserRole, QString::fromStdString(r.SequenceNumber));
        listview2->addItem(item);
    }
}

void frmRestorePoints::CreatePoint() {
    // The confirmation's modal wait lets clicks through to a window it does not block; one
    // creation at a time.
    if (m_creating)
        return;
    struct Creating {
        bool& flag;
        explicit Creating(bool& f) : flag(f) { flag = true; }
        ~Creating() { flag = false; }
    } creating{m_creating};

    const std::string description = Text1->text().toStdString();
    {
        // A first snapshot of a large folder takes a while: say so before the window stops
        // answering.
        BusyCursor busy;
        const QString before = lblEngine->text();
        lblEngine->setText(QStringLiteral("Creating the restore point..."));
        repaint();
        struct Restore {
            QLabel* l;
            QString t;
            ~Restore() { l->setText(t); }
        } restore{lblEngine, before};
        RequestRestorePoint(*Module1::services.restore, description);
    }
    showEngine();
    if (Module1::services.confirmPointMade)
        Module1::services.confirmPointMade();
    ListPoints();
}

void frmRestorePoints::Command1_Click() {
    HandlerScope scope(this);
    guarded([&] { ListPoints(); }, this);
}

void frmRestorePoints::Command2_Click() {
    HandlerScope scope(this);
    if (Text1->text().isEmpty()) {
        MessageBox::show(this, QMessageBox::Critical, QStringLiteral("Error!"),
                         QStringLiteral("Enter a name for the restore point!"));
        return;
    }
    guarded([&] { CreatePoint(); }, this);
}
