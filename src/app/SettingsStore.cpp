#include "SettingsStore.h"
#include "RuntimeError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <cerrno>
#include <limits>

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

SettingsStore::SettingsStore(const QString& appName, const QString& configDir) {
    const QString dir =
        configDir.isEmpty()
            ? QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
            : configDir;
    const QString path = QDir(dir).filePath(appName + QStringLiteral(".ini"));
    if (QFileInfo::exists(path)) {
        QFile probe(path);
        if (!probe.open(QIODevice::ReadOnly))
            m_openError =
                PlatformError{errno ? errno : EACCES,
                              "The settings file " + path.toStdString() +
                                  " cannot be read: " + probe.errorString().toStdString()};
    }
    m_settings = std::make_unique<QSettings>(path, QSettings::IniFormat);
    if (!m_openError && m_settings->status() == QSettings::FormatError)
        m_openError =
            PlatformError{ErrorNumber::TypeMismatch, "The settings file " + path.toStdString() +
                                                         " is not in a form the program can read"};
    else if (!m_openError && m_settings->status() == QSettings::AccessError)
        m_openError =
            PlatformError{EACCES, "The settings file " + path.toStdString() + " cannot be read"};
}

SettingsStore::~SettingsStore() = default;

QString SettingsStore::fileName() const {
    return m_settings->fileName();
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
    m_settings->setValue(section + u'/' + key, text);
    m_settings->sync();
    if (m_settings->status() != QSettings::NoError)
        throw RuntimeError(PlatformError{EACCES, "The settings file " + fileName().toStdString() +
                                                     " cannot be written"});
}

} // namespace vigilorn
