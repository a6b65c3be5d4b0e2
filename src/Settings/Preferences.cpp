#include "Settings/Preferences.h"
#include "Settings/PreferenceRegister.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>

namespace {

// Source keys are e-mail addresses and folder paths. QSettings reads "/" and "\" in a
// key as group separators (and folds "//"), so those characters are escaped to keep
// every key a single, exact entry.
QString encodeKey(const QString &key)
{
    QString out;
    out.reserve(key.size() + 8);
    for (QChar c : key) {
        if (c == QLatin1Char('%'))
            out += QLatin1String("%25");
        else if (c == QLatin1Char('/'))
            out += QLatin1String("%2F");
        else if (c == QLatin1Char('\\'))
            out += QLatin1String("%5C");
        else
            out += c;
    }
    return out;
}

QString standardPath()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QLatin1String("/.config");
    return base + QLatin1String("/Tarnwick/Tarnwick.conf");
}

} // namespace

Preferences &Preferences::shared()
{
    static Preferences *store = [] {
        auto *p = new Preferences(standardPath());
        p->registerStandardDefaults();
        return p;
    }();
    return *store;
}

Preferences::Preferences(const QString &iniPath, QObject *parent)
    : QObject(parent), m_settings(std::make_unique<QSettings>(iniPath, QSettings::IniFormat))
{
    QDir().mkpath(QFileInfo(iniPath).absolutePath());
    // The watcher needs an event loop on the owning thread; without an application
    // object (plain tools) changes by other processes are simply seen on the next read.
    if (QCoreApplication::instance())
        watchFile();
}

Preferences::~Preferences() = default;

QString Preferences::filePath() const { return m_settings->fileName(); }

void Preferences::registerDefaults(const QVariantMap &defaults)
{
    QMutexLocker lock(&m_lock);
    for (auto it = defaults.cbegin(); it != defaults.cend(); ++it)
        m_defaults.insert(it.key(), it.value());
}

void Preferences::registerStandardDefaults() { registerDefaults(PreferenceRegister::registeredDefaults()); }

QVariant Preferences::value(const QString &key) const
{
    QMutexLocker lock(&m_lock);
    QVariant v = m_settings->value(encodeKey(key));
    if (v.isValid())
        return v;
    return m_defaults.value(key);
}

bool Preferences::hasStoredValue(const QString &key) const
{
    QMutexLocker lock(&m_lock);
    return m_settings->contains(encodeKey(key));
}

QString Preferences::stringForKey(const QString &key) const { return value(key).toString(); }

bool Preferences::boolForKey(const QString &key) const
{
    // INI files store booleans as the text "true"/"false"; numbers count too.
    const QVariant v = value(key);
    if (v.typeId() == QMetaType::QString) {
        const QString s = v.toString().trimmed().toLower();
        return s == QLatin1String("true") || s == QLatin1String("yes") || s.toLongLong() != 0;
    }
    return v.toBool();
}

qint64 Preferences::integerForKey(const QString &key) const
{
    const QVariant v = value(key);
    bool ok = false;
    const qint64 n = v.toLongLong(&ok);
    if (ok)
        return n;
    return qint64(v.toDouble());
}

double Preferences::doubleForKey(const QString &key) const { return value(key).toDouble(); }

QStringList Preferences::stringListForKey(const QString &key) const
{
    const QVariant v = value(key);
    if (!v.isValid())
        return {};
    // A one-element list is read back from INI as a plain string.
    if (v.typeId() == QMetaType::QString)
        return {v.toString()};
    return v.toStringList();
}

QByteArray Preferences::dataForKey(const QString &key) const { return value(key).toByteArray(); }

QDateTime Preferences::dateForKey(const QString &key) const
{
    const QVariant v = value(key);
    if (v.typeId() == QMetaType::QDateTime)
        return v.toDateTime();
    return QDateTime::fromString(v.toString(), Qt::ISODateWithMs);
}

void Preferences::setValue(const QString &key, const QVariant &value)
{
    {
        QMutexLocker lock(&m_lock);
        m_selfWrite = true;
        m_settings->setValue(encodeKey(key), value);
        m_settings->sync();
    }
    emit changed(key);
}

void Preferences::removeObjectForKey(const QString &key)
{
    {
        QMutexLocker lock(&m_lock);
        m_selfWrite = true;
        m_settings->remove(encodeKey(key));
        m_settings->sync();
    }
    emit changed(key);
}

void Preferences::removePersistentDomain()
{
    {
        QMutexLocker lock(&m_lock);
        m_selfWrite = true;
        m_settings->clear();
        m_settings->sync();
    }
    emit changed(QString());
}

void Preferences::watchFile()
{
    m_watcher = new QFileSystemWatcher(this);
    const QString path = m_settings->fileName();
    const QString dir = QFileInfo(path).absolutePath();
    m_watcher->addPath(dir);
    if (QFileInfo::exists(path))
        m_watcher->addPath(path);
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, &Preferences::fileChangedOnDisk);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &Preferences::fileChangedOnDisk);
}

void Preferences::fileChangedOnDisk()
{
    const QString path = m_settings->fileName();
    // QSettings replaces the file on every save, which drops it from the watch list.
    if (QFileInfo::exists(path) && !m_watcher->files().contains(path))
        m_watcher->addPath(path);
    bool own;
    {
        QMutexLocker lock(&m_lock);
        own = m_selfWrite;
        m_selfWrite = false;
        m_settings->sync();
    }
    if (!own)
        emit changed(QString());
}
