#include "PointNotices.h"

#include "Module1.h"
#include "SettingsStore.h"
#include "platform/Notifier.h"
#include "platform/RuntimeError.h"

#include <QDir>
#include <QFile>
#include <QFileSystemWatcher>
#include <QStringList>
#include <QTimer>

#include <algorithm>

namespace vigilorn {
namespace {

constexpr std::size_t kActionsNamed = 3;
constexpr std::size_t kPointsNamed = 5;
constexpr qsizetype kMaxDescription = 120;

const QString kDetect = QStringLiteral("Detect");

QString counted(std::uint64_t n, const char* one, const char* many) {
    return QString::number(n) + u' ' + QString::fromLatin1(n == 1 ? one : many);
}

QString shown(std::uint64_t number) {
    return u'P' + QString::number(number);
}

QString shortened(const std::string& text) {
    QString s = QString::fromStdString(text);
    if (s.size() > kMaxDescription)
        s = s.left(kMaxDescription - 1) + u'…';
    return s;
}

QString actionText(const PackageAction& a) {
    const QString name = QString::fromStdString(a.name);
    const QString oldV = QString::fromStdString(a.oldVersion);
    const QString newV = QString::fromStdString(a.newVersion);
    const QString kind = QString::fromLatin1(kindName(a.kind));
    if (a.kind == ActionKind::Upgrade || a.kind == ActionKind::Downgrade)
        return kind + u' ' + name + u' ' + oldV + QStringLiteral(" to ") + newV;
    if (a.kind == ActionKind::Install)
        return kind + u' ' + name + u' ' + newV;
    if (a.kind == ActionKind::Configure)
        return kind + u' ' + name;
    return kind + u' ' + name + u' ' + oldV;
}

// "It can undo: install a 1, remove b 2 and 3 more."
QString undoes(const SystemPoint& p) {
    if (p.actions.empty())
        return {};
    QStringList named;
    for (std::size_t i = 0; i < p.actions.size() && i < kActionsNamed; ++i)
        named << actionText(p.actions[i]);
    const std::size_t more = p.actions.size() - named.size() + p.moreActions;
    QString text = QStringLiteral("It can undo: ") + named.join(QStringLiteral(", "));
    if (more > 0)
        text += QStringLiteral(" and ") + QString::number(more) + QStringLiteral(" more");
    return text + u'.';
}

QString notKeptText(std::uint64_t number, std::uint64_t notKept) {
    return counted(notKept, "replaced package", "replaced packages") +
           QStringLiteral(" could not be kept: restoring ") + shown(number) +
           (notKept == 1 ? QStringLiteral(" may not bring its old version back.")
                         : QStringLiteral(" may not bring their old versions back."));
}

QString joinLines(const QStringList& lines) {
    QStringList kept;
    for (const QString& l : lines)
        if (!l.isEmpty())
            kept << l;
    return kept.join(u'\n');
}

} // namespace

NoticeText madeNotice(std::uint64_t number, const SystemPoint* point, const QString& frontend,
                      std::uint64_t notKept) {
    const QString before = point ? QStringLiteral("Vigilorn made it without asking, before: ") +
                                       shortened(point->description) + u'.'
                                 : QStringLiteral("Vigilorn made it without asking, before ") +
                                       frontend + QStringLiteral(" changed packages.");
    return {QStringLiteral("Restore point ") + shown(number) + QStringLiteral(" made"),
            joinLines({before, point ? undoes(*point) : QString(),
                       notKept > 0 ? notKeptText(number, notKept) : QString()})};
}

NoticeText unkeptNotice(std::uint64_t number, std::uint64_t notKept) {
    return {QStringLiteral("Restore point ") + shown(number) + QStringLiteral(" is incomplete"),
            notKeptText(number, notKept)};
}

NoticeText noPointNotice(const QString& frontend) {
    return {QStringLiteral("No restore point made"),
            QStringLiteral("No restore point could be made before ") + frontend +
                QStringLiteral(" changed packages. The change went on.")};
}

NoticeText awayNotice(const std::vector<SystemPoint>& points) {
    const QString away = QStringLiteral(" while Vigilorn was not running");
    if (points.size() == 1) {
        const SystemPoint& p = points.front();
        return {
            QStringLiteral("Restore point ") + shown(p.number) + QStringLiteral(" made") + away,
            joinLines({QStringLiteral("Before: ") + shortened(p.description) + u'.', undoes(p)})};
    }
    QStringList lines;
    for (std::size_t i = 0; i < points.size() && i < kPointsNamed; ++i)
        lines << shown(points[i].number) + QStringLiteral(" before: ") +
                     shortened(points[i].description);
    if (points.size() > kPointsNamed)
        lines << QStringLiteral("and ") + QString::number(points.size() - kPointsNamed) +
                     QStringLiteral(" more.");
    return {counted(points.size(), "restore point", "restore points") + QStringLiteral(" made") +
                away,
            lines.join(u'\n')};
}

PointNotices::PointNotices(QString folder, QObject* parent)
    : QObject(parent), m_folder(std::move(folder)) {
    setObjectName(QStringLiteral("PointNotices"));
}

bool PointNotices::enabled() {
    if (!Module1::services.settings)
        return true;
    try {
        return Module1::services.settings->readInt16(kDetect, QStringLiteral("Notify"), 1) != 0;
    } catch (const RuntimeError&) {
        return true;
    }
}

std::optional<std::vector<SystemPoint>> PointNotices::readList() const {
    QFile f(QDir(m_folder).filePath(QString::fromLatin1(kSystemPointListName)));
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray text = f.read(kMaxListBytes);
    return parseSystemPointList(std::string_view(text.constData(), std::size_t(text.size())));
}

void PointNotices::start() {
    if (Module1::services.settings) {
        bool isNumber = false;
        const qulonglong stored =
            Module1::services.settings->readText(kDetect, QString::fromLatin1(kSeenKey), {})
                .trimmed()
                .toULongLong(&isNumber);
        if (isNumber)
            m_seen = stored;
    }
    std::vector<SystemPoint> points = readList().value_or(std::vector<SystemPoint>{});
    std::uint64_t newest = 0;
    for (const SystemPoint& p : points)
        newest = std::max<std::uint64_t>(newest, p.number);
    if (m_seen) {
        std::erase_if(points, [this](const SystemPoint& p) {
            return p.number <= *m_seen || m_told.count(p.number) > 0;
        });
        if (!points.empty())
            show(0, awayNotice(points));
    }
    seen(newest);

    // The folder, not the file: the list is replaced by a rename, and the folder may come later.
    m_settle = new QTimer(this);
    m_settle->setSingleShot(true);
    m_settle->setInterval(kSettleMs);
    connect(m_settle, &QTimer::timeout, this, &PointNotices::listChanged);
    m_watcher = new QFileSystemWatcher(this);
    QDir parent(m_folder);
    parent.cdUp();
    for (const QString& path : {m_folder, parent.path()})
        if (QDir(path).exists())
            m_watcher->addPath(path);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, [this] {
        if (!m_watcher->directories().contains(m_folder) && QDir(m_folder).exists())
            m_watcher->addPath(m_folder);
        m_settle->start();
    });
}

// Points that come while the program runs are its own, or the hook told of them; the list only
// keeps the newest known, so that the next start does not tell of them again.
void PointNotices::listChanged() {
    std::uint64_t newest = 0;
    for (const SystemPoint& p : readList().value_or(std::vector<SystemPoint>{}))
        newest = std::max<std::uint64_t>(newest, p.number);
    seen(newest);
}

void PointNotices::seen(std::uint64_t newest) {
    if (m_seen && *m_seen >= newest)
        return;
    m_seen = newest;
    if (!Module1::services.settings)
        return;
    try {
        Module1::services.settings->writeText(kDetect, QString::fromLatin1(kSeenKey),
                                              QString::number(newest));
    } catch (const RuntimeError&) {
        // Only a notification may be given twice.
    }
}

void PointNotices::hookNote(const hold::Note& note) {
    const QString frontend = QString::fromStdString(note.frontend);
    switch (note.kind) {
    case hold::Note::Kind::Auto: {
        const auto points = readList();
        const SystemPoint* point = nullptr;
        if (points)
            for (const SystemPoint& p : *points)
                if (p.number == note.number)
                    point = &p;
        show(note.number, madeNotice(note.number, point, frontend, note.notKept));
        m_told.insert(note.number);
        break;
    }
    case hold::Note::Kind::Unkept:
        show(note.number, unkeptNotice(note.number, note.notKept));
        break;
    case hold::Note::Kind::NoPoint:
        show(0, noPointNotice(frontend));
        break;
    }
}

void PointNotices::show(std::uint64_t point, const NoticeText& text) {
    if (!enabled())
        return;
    if (Notifier* n = Module1::services.notifier) {
        const auto before = point ? m_shown.find(point) : m_shown.end();
        const std::uint32_t replaces = before == m_shown.end() ? 0 : before->second;
        if (const auto id =
                n->notify(text.summary.toStdString(), text.body.toStdString(), replaces)) {
            if (point)
                m_shown[point] = *id;
            return;
        }
    }
    if (trayMessage)
        trayMessage(text.summary, text.body);
}

} // namespace vigilorn
