#pragma once
// Tells the user, in the desktop's notifications, of the system points made without asking
// them: those the package hook reports while the program runs, and at start those made since it
// last ran. One notification per change, never one per package; [Detect] Notify=0 turns them
// off.
#include "platform/HoldProtocol.h"
#include "platform/SystemPointList.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <vector>

class QFileSystemWatcher;
class QTimer;

namespace vigilorn {

struct NoticeText {
    QString summary;
    QString body;
};

// point: its line of points.list, when it is there.
NoticeText madeNotice(std::uint64_t number, const SystemPoint* point, const QString& frontend,
                      std::uint64_t notKept);
NoticeText unkeptNotice(std::uint64_t number, std::uint64_t notKept);
NoticeText noPointNotice(const QString& frontend);
// Points made while the program was not running, oldest first; not empty.
NoticeText awayNotice(const std::vector<SystemPoint>& points);

class PointNotices : public QObject {
    Q_OBJECT
public:
    // The newest point the program knows of is kept in the settings under [Detect].
    static constexpr const char* kSeenKey = "SeenPoint";
    // points.list is read no further.
    static constexpr qint64 kMaxListBytes = 8 << 20;
    // A list being replaced is read once it has settled.
    static constexpr int kSettleMs = 500;

    explicit PointNotices(QString folder = QString::fromLatin1(kSystemPointFolder),
                          QObject* parent = nullptr);

    // Tells of the points made since the last run in one notification, then follows the list.
    // The first run ever only takes note of the newest point.
    void start();
    void hookNote(const hold::Note& note);

    // Where the desktop has no notification service: the tray's balloon, when there is a tray.
    std::function<void(const QString& summary, const QString& body)> trayMessage;

    static bool enabled();

private:
    std::optional<std::vector<SystemPoint>> readList() const;
    void listChanged();
    void seen(std::uint64_t newest);
    void show(std::uint64_t point, const NoticeText& text);

    QString m_folder;
    std::optional<std::uint64_t> m_seen;
    std::map<std::uint64_t, std::uint32_t> m_shown; // point → its notification, to update it
    std::set<std::uint64_t> m_told;                 // by the hook: not told again at start
    QFileSystemWatcher* m_watcher = nullptr;
    QTimer* m_settle = nullptr;
};

} // namespace vigilorn
