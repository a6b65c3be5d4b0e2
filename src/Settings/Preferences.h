#pragma once
// The per-user preference store: every persistent setting of the program, kept in
// ~/.config/Tarnwick/Tarnwick.conf through QSettings.
//
// Reads return the stored value, else the registered default, else nothing (an
// invalid QVariant: false, 0 or the empty string through the typed readers).
// Registering defaults writes nothing. All operations are safe from any thread.
// `changed` fires on the object's thread for every write or removal made here, and
// with an empty key when another process changed the file.

#include <QDateTime>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QVariant>

#include <memory>

class QSettings;
class QFileSystemWatcher;

class Preferences : public QObject {
    Q_OBJECT
public:
    // The process-wide store at the standard location ($XDG_CONFIG_HOME honoured),
    // with the standard defaults registered.
    static Preferences &shared();

    // A store kept in the given INI file, for tests and tools.
    explicit Preferences(const QString &iniPath, QObject *parent = nullptr);
    ~Preferences() override;

    QString filePath() const;

    void registerDefaults(const QVariantMap &defaults);
    // Installs the program's standard registered defaults.
    void registerStandardDefaults();

    QVariant value(const QString &key) const;
    bool hasStoredValue(const QString &key) const;
    QString stringForKey(const QString &key) const;
    bool boolForKey(const QString &key) const;
    qint64 integerForKey(const QString &key) const;
    double doubleForKey(const QString &key) const;
    QStringList stringListForKey(const QString &key) const;
    QByteArray dataForKey(const QString &key) const;
    QDateTime dateForKey(const QString &key) const;

    void setValue(const QString &key, const QVariant &value);
    void removeObjectForKey(const QString &key);
    // Removes every stored value of the program; registered defaults apply again.
    void removePersistentDomain();

signals:
    void changed(const QString &key);

private:
    void watchFile();
    void fileChangedOnDisk();

    mutable QMutex m_lock;
    std::unique_ptr<QSettings> m_settings;
    QVariantMap m_defaults;
    QFileSystemWatcher *m_watcher = nullptr;
    bool m_selfWrite = false;
};
