#include "MailCoreGTM/FXKeychain.h"
#include "Settings/AccountSetup.h"
#include "Settings/LookupServer.h"
#include "Settings/Preferences.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

TEST(AccountSetup, ServerStrings)
{
    struct Row {
        const char *server, *host;
        int port;
        IMAPServer::ConnectionType type;
    };
    const Row rows[] = {
        {"imap.example.org:143:starttls", "imap.example.org", 143, IMAPServer::StartTLS},
        {"imap.example.org:143:STARTTLS", "imap.example.org", 143, IMAPServer::StartTLS},
        {"imap.example.org:143", "imap.example.org", 143, IMAPServer::TLS},
        {"imap.example.org::clear", "imap.example.org", 0, IMAPServer::Clear},
        {"imap.example.org:143:NoSSL", "imap.example.org", 143, IMAPServer::Clear},
        {"imap.example.org:143:notls", "imap.example.org", 143, IMAPServer::Clear},
        {"imap.example.org:993:SSL", "imap.example.org", 993, IMAPServer::TLS},
        {"imap.example.org:993:anything", "imap.example.org", 993, IMAPServer::TLS},
        {"imap.example.org", "imap.example.org", 993, IMAPServer::TLS},
        {"imap.example.org:1143abc", "imap.example.org", 1143, IMAPServer::TLS},
        {"", "", 993, IMAPServer::TLS},
    };
    for (const Row &row : rows) {
        const IMAPServer s = AccountSetup::serverFromString(QString::fromLatin1(row.server));
        EXPECT_EQ(s.host, QString::fromLatin1(row.host)) << row.server;
        EXPECT_EQ(s.port, row.port) << row.server;
        EXPECT_EQ(s.connectionType, row.type) << row.server;
    }
}

TEST(AccountSetup, ProviderLookupByDomain)
{
    const std::pair<const char *, const char *> rows[] = {
        {"someone@gmail.com", "imap.gmail.com"},
        {"someone@GoogleMail.com", "imap.gmail.com"},
        {"someone@outlook.com", "outlook.office365.com"},
        {"someone@hotmail.co.uk", "outlook.office365.com"},
        {"someone@live.com", "outlook.office365.com"},
        {"someone@yahoo.com", "imap.mail.yahoo.com"},
        {"someone@icloud.com", "imap.mail.me.com"},
        {"someone@me.com", "imap.mail.me.com"},
        {"someone@aol.com", "imap.aol.com"},
        {"someone@gmx.de", "imap.gmx.net"},
        {"someone@gmx.com", "imap.gmx.com"},
        {"someone@web.de", "imap.web.de"},
        {"someone@fastmail.com", "imap.fastmail.com"},
        {"someone@mailbox.org", "imap.mailbox.org"},
        {"someone@posteo.de", "posteo.de"},
        {"someone@zoho.com", "imap.zoho.com"},
        {"someone@yandex.ru", "imap.yandex.com"},
        {"someone@mail.ru", "imap.mail.ru"},
        {"\"odd@name\"@gmail.com", "imap.gmail.com"},
        {"someone@gmail.com.", "imap.gmail.com"},
        {"someone@example.org", ""},
        {"someone@mail.gmail.com", ""}, // a subdomain is not the provider
        {"no-at-sign.gmail.com", ""},
        {"", ""},
    };
    for (const auto &[email, host] : rows)
        EXPECT_EQ(LookupServer::lookupServer(QString::fromUtf8(email)), QString::fromLatin1(host)) << email;
}

TEST(AccountSetup, SignInKindAndTokenNames)
{
    QTemporaryDir dir;
    Preferences prefs(dir.filePath("Tarnwick.conf"));
    EXPECT_EQ(AccountSetup::authSystem("", prefs), "kauth_user_pass");
    EXPECT_EQ(AccountSetup::authSystem("anna@example.org", prefs), "kauth_user_pass");
    AccountSetup::setAuthSystem("kauth_google_oauth", "", prefs);
    AccountSetup::setAuthSystem("", "anna@example.org", prefs);
    EXPECT_EQ(AccountSetup::authSystem("anna@example.org", prefs), "kauth_user_pass") << "empty arguments store nothing";
    AccountSetup::setAuthSystem("kauth_google_oauth", "anna@example.org", prefs);
    EXPECT_EQ(prefs.stringForKey("anna@example.org__authSystem"), "kauth_google_oauth");

    const QString a = AccountSetup::newKeyChainID(), b = AccountSetup::newKeyChainID();
    const QRegularExpression form("^(\\d+)-(\\d+)$");
    const auto ma = form.match(a), mb = form.match(b);
    ASSERT_TRUE(ma.hasMatch() && mb.hasMatch()) << a.toStdString();
    EXPECT_NE(a, b);
    EXPECT_EQ(mb.captured(2).toInt(), ma.captured(2).toInt() + 1);
    // Seconds since 2001: after 2020-01-01, which is 599,616,000 s past it.
    EXPECT_GT(ma.captured(1).toLongLong(), 599616000);

    EXPECT_TRUE(AccountSetup::keyChainIDForEmail("", prefs).isEmpty());
    const QString made = AccountSetup::keyChainIDForEmail("bob@example.org", prefs);
    EXPECT_FALSE(made.isEmpty());
    EXPECT_EQ(AccountSetup::keyChainIDForEmail("bob@example.org", prefs), made) << "made once, then kept";
    EXPECT_EQ(prefs.stringForKey("bob@example.org__googleOAuthKey"), made);
}

TEST(AccountSetup, SavingWithoutAPasswordNeedsNoPasswordStore)
{
    QTemporaryDir dir;
    Preferences prefs(dir.filePath("Tarnwick.conf"));
    // An instance no test stores into: saving without a password must not reach it.
    FXKeychain keychain(QStringLiteral("org.tarnwick.Tests.Unused"), QString());
    EXPECT_TRUE(AccountSetup::setPrefsEmailAddress("g@gmail.com", std::nullopt, std::nullopt, prefs, keychain));
    EXPECT_TRUE(AccountSetup::setPrefsEmailAddress("g@gmail.com", QString("imap.gmail.com"), std::nullopt, prefs,
                                                   keychain));
    EXPECT_EQ(prefs.stringListForKey("EmailAccounts"), QStringList{"g@gmail.com"}) << "added once";
    EXPECT_EQ(prefs.stringForKey("g@gmail.com__IMAP"), "imap.gmail.com");
    EXPECT_TRUE(AccountSetup::setPrefsEmailAddress("g@gmail.com", std::nullopt, std::nullopt, prefs, keychain));
    EXPECT_TRUE(prefs.hasStoredValue("g@gmail.com__IMAP"));
    EXPECT_EQ(prefs.stringForKey("g@gmail.com__IMAP"), "") << "no server string: the empty string";
    EXPECT_FALSE(AccountSetup::setPrefsEmailAddress("", std::nullopt, std::nullopt, prefs, keychain));
}

} // namespace
