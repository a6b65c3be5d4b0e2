#include "Utils/DesktopNotifier.h"

#include "TestSupport.h"

#include "SecretServiceSession.h"

#include <QDBusConnection>
#include <QTest>
#include <gtest/gtest.h>

namespace {

// A notification service as a desktop runs one, on a bus of the test's own.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList summaries, bodies;
public slots:
    uint Notify(const QString &, uint, const QString &, const QString &summary, const QString &body,
                const QStringList &, const QVariantMap &, int)
    {
        summaries << summary;
        bodies << body;
        return uint(summaries.size());
    }
};

} // namespace

TEST(DesktopNotifier, TextsOfTheNotice)
{
    struct Row {
        QString name;
        bool failed;
        qint64 pdfs;
        QString reason, summary, body;
    };
    const Row rows[] = {
        {"/home/u/Mail/Inbox", false, 12, "", "Tarnwick: Inbox archived", "12 PDFs added"},
        {"anna@example.org", false, 1, "", "Tarnwick: anna@example.org archived", "1 PDF added"},
        {"anna@example.org", true, 0, "the server refused the login", "Tarnwick: anna@example.org not archived",
         "the server refused the login"},
    };
    for (const Row &row : rows) {
        const auto [summary, body] = DesktopNotifier::texts(row.name, row.failed, row.pdfs, row.reason);
        EXPECT_EQ(summary, row.summary);
        EXPECT_EQ(body, row.body);
    }
}

TEST(DesktopNotifier, TheNoticeReachesTheDesktopsService)
{
    PrivateTestBus bus;
    QString error;
    if (!bus.start(&error))
        GTEST_SKIP() << error.toStdString();
    FakeNotifications fake;
    QDBusConnection desktop = QDBusConnection::connectToBus(bus.address(), "fake-desktop");
    ASSERT_TRUE(desktop.registerService("org.freedesktop.Notifications"));
    ASSERT_TRUE(desktop.registerObject("/org/freedesktop/Notifications", &fake, QDBusConnection::ExportAllSlots));
    {
        DesktopNotifier notifier(bus.address());
        notifier.jobEnded("/home/u/Mail/Inbox", false, 3, QString());
        WAIT_EXPECT_EQ(fake.summaries.size(), 1, 10000);
    }
    EXPECT_EQ(fake.summaries.first(), "Tarnwick: Inbox archived");
    EXPECT_EQ(fake.bodies.first(), "3 PDFs added");
    DesktopNotifier nowhere{QString()};
    nowhere.jobEnded("x", false, 1, QString()); // no bus: nothing, and no error
    QDBusConnection::disconnectFromBus("fake-desktop");
}

#include "DesktopNotifierTest.moc"
