#include "Utils/SleepInhibitor.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <gtest/gtest.h>

namespace {

QString inhibitors()
{
    QProcess p;
    p.start("systemd-inhibit", {"--list", "--no-pager"});
    p.waitForFinished(10000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

} // namespace

// Held while busy, released after; only where a logind answers on the system bus.
TEST(SleepInhibitor, HeldWhileBusyAndReleasedAfter)
{
    QDBusConnection system = QDBusConnection::systemBus();
    if (!system.isConnected() || !system.interface()->isServiceRegistered("org.freedesktop.login1"))
        GTEST_SKIP() << "no systemd-logind on a system bus here";
    SleepInhibitor inhibitor;
    inhibitor.update(true);
    ASSERT_TRUE(inhibitor.held());
    EXPECT_TRUE(inhibitors().contains("Tarnwick busy archiving Email"));
    inhibitor.update(false);
    EXPECT_FALSE(inhibitor.held());
    EXPECT_FALSE(inhibitors().contains("Tarnwick busy archiving Email"));
}

// Without a logind the first attempt fails, once, and nothing is held.
TEST(SleepInhibitor, WithoutLogindNothingIsHeld)
{
    QDBusConnection system = QDBusConnection::systemBus();
    if (system.isConnected() && system.interface()->isServiceRegistered("org.freedesktop.login1"))
        GTEST_SKIP() << "a logind answers here";
    SleepInhibitor inhibitor;
    inhibitor.update(true);
    inhibitor.update(true);
    EXPECT_FALSE(inhibitor.held());
}
