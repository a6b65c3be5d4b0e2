// The password store against a real gnome-keyring on a private bus.
#include "SecretServiceSession.h"

#include "MailCoreGTM/FXKeychain.h"
#include "Utils/Log.h"

#include <QDateTime>
#include <QPointF>
#include <QTimeZone>
#include <QUuid>

#include <gtest/gtest.h>

namespace {

// Every test works on keys of its own, so that tests never see each other's items.
QString freshKey(const char *what)
{
    return QStringLiteral("%1-%2@example.org__PASS").arg(QLatin1String(what), QUuid::createUuid().toString(QUuid::Id128));
}

bool logged(const QStringList &lines, const QString &line) { return lines.contains(line); }

TEST(FXKeychain, StringsRoundTripAsTheirUtf8Bytes)
{
    REQUIRE_SECRET_SERVICE(session);
    FXKeychain &keychain = FXKeychain::defaultKeychain();
    EXPECT_EQ(keychain.service(), "org.tarnwick.Tarnwick");
    const QString rows[] = {
        QStringLiteral("abcdef"),
        QStringLiteral("pässwörd ✓ 密码"),
        // Text that opens like a property list but is none reads back as the text.
        QStringLiteral("bplist00 not really"),
        // An XML fragment is a password like any other, not a property list.
        QStringLiteral("<string>x</string>"),
        QStringLiteral(" spaces at both ends "),
    };
    for (const QString &password : rows) {
        const QString key = freshKey("roundtrip");
        ASSERT_TRUE(keychain.setObject(password, key)) << password.toStdString();
        EXPECT_EQ(keychain.itemData(key).value_or("(none)"), password.toUtf8()) << "no terminator, no marker";
        EXPECT_EQ(keychain.objectForKey(key).toString(), password);
        EXPECT_EQ(session->countItems("org.tarnwick.Tarnwick", key), 1);
        EXPECT_TRUE(keychain.removeObjectForKey(key));
    }
}

TEST(FXKeychain, ASecondValueReplacesTheFirst)
{
    REQUIRE_SECRET_SERVICE(session);
    FXKeychain &keychain = FXKeychain::defaultKeychain();
    const QString key = freshKey("replace");
    ASSERT_TRUE(keychain.setObject(QStringLiteral("first"), key));
    ASSERT_TRUE(keychain.setObject(QStringLiteral("second"), key));
    EXPECT_EQ(keychain.objectForKey(key).toString(), "second");
    EXPECT_EQ(session->countItems("org.tarnwick.Tarnwick", key), 1) << "one item per key";

    // Another service keeps its own item under the same key.
    FXKeychain other(QStringLiteral("org.example.Other"), QString());
    ASSERT_TRUE(other.setObject(QStringLiteral("theirs"), key));
    EXPECT_EQ(keychain.objectForKey(key).toString(), "second");
    EXPECT_EQ(other.objectForKey(key).toString(), "theirs");
    EXPECT_TRUE(other.removeObjectForKey(key));
    EXPECT_TRUE(keychain.removeObjectForKey(key));
}

TEST(FXKeychain, RemovingTwiceReportsTheMissingItem)
{
    REQUIRE_SECRET_SERVICE(session);
    FXKeychain &keychain = FXKeychain::defaultKeychain();
    const QString key = freshKey("remove");
    ASSERT_TRUE(keychain.setObject(QStringLiteral("secret"), key));
    Log::captureStart();
    EXPECT_TRUE(keychain.removeObjectForKey(key));
    EXPECT_TRUE(Log::captureTake().isEmpty());
    EXPECT_FALSE(keychain.removeObjectForKey(key));
    EXPECT_TRUE(logged(Log::captureTake(),
                       QStringLiteral("FXKeychain failed to delete data for key '%1', error: -25300").arg(key)));
    EXPECT_FALSE(keychain.objectForKey(key).isValid());
    EXPECT_EQ(session->countItems("org.tarnwick.Tarnwick", key), 0);
    // A missing value is a removal too.
    EXPECT_FALSE(keychain.setObject(QVariant(), key));
}

TEST(FXKeychain, BytesThatHoldNoValueReadAsNothing)
{
    REQUIRE_SECRET_SERVICE(session);
    FXKeychain &keychain = FXKeychain::defaultKeychain();
    struct Row {
        const char *what;
        QByteArray bytes;
    };
    const Row rows[] = {
        {"invalid UTF-8", QByteArray("\xff\xfe\x80 not text", 13)},
        {"a keyed archive",
         QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict><key>$archiver</key>"
                    "<string>NSKeyedArchiver</string><key>$top</key><dict/></dict></plist>")},
    };
    for (const Row &row : rows) {
        const QString key = freshKey("undecodable");
        ASSERT_EQ(keychain.setItemData(row.bytes, key), FXKeychain::Success) << row.what;
        Log::captureStart();
        EXPECT_FALSE(keychain.objectForKey(key).isValid()) << row.what;
        const QStringList lines = Log::captureTake();
        ASSERT_EQ(lines.size(), 1) << row.what;
        EXPECT_TRUE(lines[0].startsWith(QStringLiteral("FXKeychain failed to decode data for key '%1', error: ").arg(key)))
            << lines[0].toStdString();
        EXPECT_TRUE(keychain.removeObjectForKey(key));
    }
}

TEST(FXKeychain, OtherValuesAreStoredAsPropertyLists)
{
    REQUIRE_SECRET_SERVICE(session);
    FXKeychain &keychain = FXKeychain::defaultKeychain();
    const QDateTime when(QDate(2014, 1, 18), QTime(8, 16, 20), QTimeZone::utc());
    const QVariant rows[] = {
        QStringList{QStringLiteral("INBOX"), QStringLiteral("Archive/2015")},
        QVariantMap{{QStringLiteral("token"), QStringLiteral("abc")}, {QStringLiteral("expires"), 3600}},
        QVariant(qint64(42)),
        QVariant(2.5),
        QVariant(true),
        QVariant(when),
        QVariant(QByteArray("\x00\x01\x02", 3)),
    };
    for (const QVariant &value : rows) {
        const QString key = freshKey("plist");
        ASSERT_TRUE(keychain.setObject(value, key)) << value.typeName();
        EXPECT_TRUE(keychain.itemData(key).value_or(QByteArray()).startsWith("bplist00")) << value.typeName();
        const QVariant back = keychain.objectForKey(key);
        if (value.typeId() == QMetaType::QVariantMap) {
            const QVariantMap m = back.toMap();
            EXPECT_EQ(m.value("token").toString(), "abc");
            EXPECT_EQ(m.value("expires").toLongLong(), 3600);
        } else if (value.typeId() == QMetaType::QStringList) {
            EXPECT_EQ(back.toStringList(), value.toStringList());
        } else if (value.typeId() == QMetaType::QDateTime) {
            EXPECT_EQ(back.toDateTime(), when);
        } else {
            EXPECT_EQ(back.toString(), value.toString()) << value.typeName();
        }
        EXPECT_TRUE(keychain.removeObjectForKey(key));
    }

    // An XML property list written by another tool reads as its value too.
    const QString key = freshKey("xml");
    ASSERT_EQ(keychain.setItemData("<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>a</string>"
                                   "<string>b</string></array></plist>",
                                   key),
              FXKeychain::Success);
    EXPECT_EQ(keychain.objectForKey(key).toStringList(), (QStringList{"a", "b"}));
    EXPECT_TRUE(keychain.removeObjectForKey(key));
}

TEST(FXKeychain, AValueWithoutAPropertyListFormKeepsTheStoredOne)
{
    REQUIRE_SECRET_SERVICE(session);
    FXKeychain &keychain = FXKeychain::defaultKeychain();
    const QString key = freshKey("unencodable");
    ASSERT_TRUE(keychain.setObject(QStringLiteral("kept"), key));
    Log::captureStart();
    EXPECT_FALSE(keychain.setObject(QPointF(1, 2), key));
    const QStringList lines = Log::captureTake();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("FXKeychain failed to encode object for key '%1', error: ").arg(key)));
    EXPECT_EQ(keychain.objectForKey(key).toString(), "kept");
    EXPECT_TRUE(keychain.removeObjectForKey(key));

    Log::captureStart();
    EXPECT_FALSE(keychain.setObject(QStringLiteral("x"), QString()));
    EXPECT_EQ(Log::captureTake(), QStringList{"Invalid parameter not satisfying: key"});
}

} // namespace
