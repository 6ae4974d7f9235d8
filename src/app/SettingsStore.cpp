#include "SettingsStore.h"
#include "platform/ForeignFolder.h"
#include "platform/RuntimeError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <QStringDecoder>

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace vigilorn {

std::int16_t toInt16(const QString& text) {
    const QString t = text.trimmed();
    int i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == u'+' || t[i] == u'-')) {
        negative = t[i] == u'-';
        ++i;
    }
    if (i == t.size())
        throw RuntimeError(ErrorNumber::TypeMismatch);
    long long v = 0;
    bool overflow = false;
    for (; i < t.size(); ++i) {
        const QChar c = t[i];
        if (c < u'0' || c > u'9')
            throw RuntimeError(ErrorNumber::TypeMismatch);
        if (!overflow) {
            v = v * 10 + (c.unicode() - u'0');
            overflow = v > 32768;
        }
    }
    if (negative)
        v = -v;
    if (overflow || v < std::numeric_limits<std::int16_t>::min() ||
        v > std::numeric_limits<std::int16_t>::max())
        throw RuntimeError(ErrorNumber::Overflow);
    return static_cast<std::int16_t>(v);
}

namespace {

// Larger than any settings file the program writes by far; a bigger file is not ours.
constexpr std::size_t kMaxFileSize = 1 << 20;

std::string describe(const QString& path, const char* what) {
    return "The settings file " + path.toStdString() + " " + what;
}

PlatformError systemError(int err, const QString& path, const char* what) {
    return {err, describe(path, what) + ": " + errorFromErrno(err).description};
}

// What is on disk before QSettings is let near it: QSettings would block on a FIFO and read a
// device without end, and it reports no reason when it cannot read.
struct FileCheck {
    bool exists = false;
    std::optional<PlatformError> unusable;
    QByteArray bytes;
};

FileCheck checkFile(const QString& path) {
    FileCheck c;
    const QByteArray native = QFile::encodeName(path);
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    // No file there (nor a folder for one): the defaults, and a first save makes it.
    if (fd < 0) {
        const int err = errno;
        if (err != ENOENT && err != ENOTDIR) {
            c.exists = true;
            c.unusable = systemError(err, path, "cannot be read");
        }
        return c;
    }
    c.exists = true;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        c.unusable = systemError(errno, path, "cannot be read");
    } else if (!S_ISREG(st.st_mode)) {
        c.unusable = PlatformError{EINVAL, describe(path, "is not a regular file")};
    } else {
        char buf[8192];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                c.unusable = systemError(errno, path, "cannot be read");
                break;
            }
            if (n == 0)
                break;
            c.bytes.append(buf, n);
            if (static_cast<std::size_t>(c.bytes.size()) > kMaxFileSize)
                break;
        }
    }
    ::close(fd);
    return c;
}

// Text a person or this program wrote: valid UTF-8, no NUL, of a sensible size. QSettings reads
// binary data without complaint and would write it back changed.
bool looksLikeText(const QByteArray& bytes) {
    if (static_cast<std::size_t>(bytes.size()) > kMaxFileSize || bytes.contains('\0'))
        return false;
    QStringDecoder utf8(QStringDecoder::Utf8);
    (void)QString(utf8(bytes));
    return !utf8.hasError();
}

// QSettings keeps what it read of a file in one cache for the whole process, and reads the file
// again only when its size or its time to the millisecond changed. A save of the same size in
// the same millisecond (one value changed from 1 to 0) would be read back as the file before
// it, and the next save would write the old value again: the new file's time is set apart.
void keepApartFromCache(const QByteArray& old, const QByteArray& fresh) {
    struct stat before {
    }, after{};
    if (::stat(old.constData(), &before) != 0 || ::stat(fresh.constData(), &after) != 0 ||
        before.st_size != after.st_size)
        return;
    auto ms = [](const timespec& t) { return std::int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000; };
    if (ms(before.st_mtim) < ms(after.st_mtim))
        return;
    const std::int64_t later = ms(before.st_mtim) + 1;
    const timespec times[2] = {{0, UTIME_OMIT},
                               {time_t(later / 1000), long(later % 1000) * 1000000}};
    ::utimensat(AT_FDCWD, fresh.constData(), times, 0);
}

} // namespace

SettingsStore::SettingsStore(const QString& appName, const QString& configDir) {
    const QString dir =
        configDir.isEmpty()
            ? QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
            : configDir;
    m_path = QDir(dir).filePath(appName + QStringLiteral(".ini"));
    if (Failure foreign = foreignFolder("The configuration folder", dir.toStdString())) {
        m_openError = std::move(foreign);
        m_unusable = true;
        return;
    }
    const FileCheck check = checkFile(m_path);
    if (check.unusable) {
        m_openError = check.unusable;
        m_unusable = true;
        return;
    }
    m_settings = std::make_unique<QSettings>(m_path, QSettings::IniFormat);
    if (!check.exists)
        return;
    // QSettings parses on first access, and only then knows its status.
    (void)m_settings->allKeys();
    if (m_settings->status() != QSettings::NoError || !looksLikeText(check.bytes)) {
        m_damaged = true;
        m_openError = PlatformError{ErrorNumber::TypeMismatch,
                                    describe(m_path, "is not in a form the program can read")};
    }
}

SettingsStore::~SettingsStore() = default;

QString SettingsStore::fileName() const {
    return m_path;
}

QString SettingsStore::damagedCopyName() const {
    return m_path + QStringLiteral(".damaged");
}

std::int16_t SettingsStore::readInt16(const QString& section, const QString& key,
                                      std::int16_t defaultValue) const {
    if (m_openError)
        return defaultValue;
    const QVariant v = m_settings->value(section + u'/' + key);
    if (!v.isValid())
        return defaultValue;
    // "1,2" reads back as a list: not a number either.
    if (v.typeId() != QMetaType::QString && v.typeId() != QMetaType::QByteArray)
        throw RuntimeError(ErrorNumber::TypeMismatch);
    return toInt16(v.toString());
}

QString SettingsStore::readText(const QString& section, const QString& key,
                                const QString& defaultValue) const {
    if (m_openError)
        return defaultValue;
    const QVariant v = m_settings->value(section + u'/' + key);
    return v.isValid() && v.typeId() == QMetaType::QString ? v.toString() : defaultValue;
}

void SettingsStore::writeText(const QString& section, const QString& key, const QString& text) {
    if (m_unusable)
        throw RuntimeError(*m_openError);
    // Every save writes a new file beside the old one and renames it into place: the errors
    // are the system's own, and a failed save leaves the old file as it was.
    QString target = m_path;
    {
        const QFileInfo info(m_path);
        if (info.isSymLink())
            target = info.canonicalFilePath().isEmpty() ? m_path : info.canonicalFilePath();
    }
    const QString folder = QFileInfo(target).absolutePath();
    QDir().mkpath(folder);
    QByteArray tmpName = QFile::encodeName(QDir(folder).filePath(
        QStringLiteral(".") + QFileInfo(target).fileName() + QStringLiteral(".XXXXXX")));
    const int fd = ::mkstemp(tmpName.data());
    if (fd < 0)
        throw RuntimeError(systemError(errno, m_path, "cannot be written"));
    struct stat st {};
    if (::stat(QFile::encodeName(target).constData(), &st) == 0)
        ::fchmod(fd, st.st_mode & 07777);
    ::close(fd);
    const QString tmp = QFile::decodeName(tmpName);
    auto fail = [&](PlatformError e) {
        ::unlink(tmpName.constData());
        throw RuntimeError(std::move(e));
    };
    {
        QSettings out(tmp, QSettings::IniFormat);
        // Whatever could be read is kept, the other sections included.
        for (const QString& k : m_settings->allKeys())
            out.setValue(k, m_settings->value(k));
        out.setValue(section + u'/' + key, text);
        out.sync();
        if (out.status() != QSettings::NoError)
            fail(PlatformError{EIO, describe(m_path, "cannot be written")});
    }
    const QByteArray native = QFile::encodeName(target);
    keepApartFromCache(native, tmpName);
    if (m_damaged &&
        ::rename(native.constData(), QFile::encodeName(damagedCopyName()).constData()) != 0)
        fail(systemError(errno, m_path, "cannot be kept as a copy"));
    if (::rename(tmpName.constData(), native.constData()) != 0)
        fail(systemError(errno, m_path, "cannot be written"));
    m_settings = std::make_unique<QSettings>(m_path, QSettings::IniFormat);
    m_damaged = false;
    m_openError.reset();
}

} // namespace vigilorn
