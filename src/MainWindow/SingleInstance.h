#pragma once
// SingleInstance: one desktop application per user. The first `tarnwick gui` owns the name
// "org.tarnwick.Tarnwick" on the user's session bus and answers Activate() and
// Open(paths); a later one hands its files (or just its activation) to it and ends. Runs
// on the user's own bus, named before the application points its session bus elsewhere;
// without one (a headless session), every launch is on its own.

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class SingleInstance : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.tarnwick.Tarnwick")
public:
    explicit SingleInstance(const QString &userBusAddress, QObject *parent = nullptr);
    ~SingleInstance() override;

    // True when this process now owns the name; false when another instance does (and
    // `paths` were handed to it) or there is no bus (then `noBus` is set).
    bool claimOrHandOver(const QStringList &paths, bool *noBus);
    // What to do when another launch hands over its activation or files.
    void setHandlers(std::function<void()> activate, std::function<void(const QStringList &)> open)
    {
        m_activate = std::move(activate);
        m_open = std::move(open);
    }

public slots:
    Q_SCRIPTABLE void Activate();
    Q_SCRIPTABLE void Open(const QStringList &paths);

private:
    QString m_connectionName;
    bool m_connected = false;
    std::function<void()> m_activate;
    std::function<void(const QStringList &)> m_open;
};
