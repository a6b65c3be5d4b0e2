#include "localmail/LocalMailFiles.h"
#include "localmail/MailStores.h"

#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>

namespace {

using TestSupport::writeFile;


QByteArray message(int n)
{
    return QStringLiteral("From: Anna <anna@example.org>\nTo: bob@example.org\nSubject: Note %1\n"
                          "Date: Tue, 14 Feb 2023 09:30:00 +0000\nMessage-ID: <%1@x>\n\n%2")
        .arg(n)
        .arg(QStringLiteral("A line of the body.\n").repeated(8))
        .toUtf8();
}

QByteArray mbox(const QList<int> &numbers)
{
    QByteArray out;
    for (int n : numbers)
        out += "From - Tue Feb 14 09:30:00 2023\n" + message(n) + "\n";
    return out;
}

// Mail folder -> number of messages found under it, as a job over `root` files them.
QMap<QString, int> scanned(const QString &root)
{
    QStringList emlxs;
    QMap<QString, int> folders;
    for (const QString &path : LocalMailFiles::explodeFilesAndFolders({root}, &emlxs))
        ++folders[LocalMailFiles::emlSubFolder(path, root, "job")];
    return folders;
}

} // namespace

TEST(MailStores, FromSeparatorLines)
{
    const std::pair<const char *, bool> rows[] = {
        {"From - Mon Jan  1 00:00:00 2024", true},                   // Thunderbird
        {"From alice@example.org Tue Feb 14 09:30:00 2023", true},   // delivery agents
        {"From alice@example.org  Tue, 14 Feb 2023 09:30 +0100", true},
        {"From MAILER-DAEMON Fri Jul  8 12:08:34 2011 +0200", true},
        {"From the desk of John: lunch at 12:30", false},            // a letter, no month
        {"From: alice@example.org", false},                          // a header, not a separator
        {"From alice@example.org", false},                           // no date
        {"Return-Path: <a@b>", false},
        {"", false},
    };
    for (const auto &[line, separator] : rows)
        EXPECT_EQ(MailStores::isFromSeparatorLine(line), separator) << line;
}

TEST(MailStores, TagsOfThunderbirdKeysAndMaildirFlags)
{
    const std::pair<const char *, QStringList> keys[] = {
        {"$label1 projectx", {"Important", "projectx"}},
        {"$label2 $label3 $label4 $label5", {"Work", "Personal", "To Do", "Later"}},
        {"NonJunk $Forwarded $label9 client", {"client"}},
        {"", {}},
    };
    for (const auto &[value, tags] : keys)
        EXPECT_EQ(MailStores::mozillaKeywordTags(value), tags) << value;

    const std::pair<const char *, QStringList> files[] = {
        {"/m/cur/1700.M1.host:2,FS", {"Flagged"}},
        {"/m/cur/1700.M1.host:2,S", {}},
        {"/m/new/1700.M1.host:2,F", {}},   // "new" holds no flags yet
        {"/m/cur/1700.M1.host", {}},
        {"/box/F.eml", {}},
    };
    for (const auto &[path, tags] : files)
        EXPECT_EQ(MailStores::tagsOfMessageFile(path), tags) << path;
}

TEST(MailStores, ModifiedUtf7FolderNames)
{
    const std::pair<const char *, QString> rows[] = {
        {"Entw&APw-rfe", QString::fromUtf8("Entwürfe")},
        {"&ZeVnLIqe-", QString::fromUtf8("日本語")},
        {"Tom &- Jerry", "Tom & Jerry"},
        {"plain", "plain"},
        {"Gr\xc3\xbc\xc3\x9f""e", QString::fromUtf8("Grüße")}, // already Unicode: as it is
    };
    for (const auto &[name, decoded] : rows)
        EXPECT_EQ(MailStores::clientFolderLevels(QString::fromUtf8(name), "/nowhere/x"), QStringList{decoded}) << name;
}

// A Thunderbird profile, a Maildir with Maildir++ folders and a spool, all under one root:
// every message once, under the folder names the clients show; nothing of "tmp", of the
// index files or of the profile's other files.
TEST(MailStores, ScanFindsTheMessagesOfLinuxStores)
{
    QTemporaryDir dir;
    const QString root = dir.filePath("mail");
    const QString local = root + "/profile/Mail/Local Folders";
    writeFile(local + "/Inbox", mbox({1, 2}));
    writeFile(local + "/Inbox.msf", "// <!-- <mdb:mork:z v=\"1.4\"/> -->\n");
    writeFile(local + "/Sent", mbox({3}));
    writeFile(local + "/Archives", "");
    writeFile(local + "/Archives.sbd/2023", mbox({4, 5, 6}));
    writeFile(local + "/Archives.sbd/2023.msf", "x");
    writeFile(root + "/profile/popstate.dat", "# POP3 State File\nFrom - Tue Feb 14 09:30:00 2023\n");
    writeFile(root + "/profile/prefs.js", "user_pref(\"x\", 1);\n");
    const QString maildir = root + "/Maildir";
    for (const QString sub : {"", "/.Sent", "/.Lists.foo", "/.Entw&APw-rfe"})
        for (const char *level : {"/cur", "/new", "/tmp"})
            QDir().mkpath(maildir + sub + level);
    writeFile(maildir + "/cur/1.M1.h:2,FS", message(10));
    writeFile(maildir + "/new/2.M2.h", message(11));
    writeFile(maildir + "/tmp/3.M3.h", message(12));
    writeFile(maildir + "/.Sent/cur/4.M4.h:2,S", message(13));
    writeFile(maildir + "/.Lists.foo/cur/5.M5.h:2,", message(14));
    writeFile(maildir + "/.Entw&APw-rfe/new/6.M6.h", message(15));
    writeFile(root + "/spool/alice", mbox({20, 21}));
    writeFile(root + "/notes.txt", "From the desk of John: lunch at 12:30\n");

    const QMap<QString, int> expected{
        {"mail/profile/Mail/Local Folders/Inbox", 2},
        {"mail/profile/Mail/Local Folders/Sent", 1},
        {"mail/profile/Mail/Local Folders/Archives/2023", 3},
        {"mail/Maildir", 2},
        {"mail/Maildir/Sent", 1},
        {"mail/Maildir/Lists/foo", 1},
        {QString::fromUtf8("mail/Maildir/Entwürfe"), 1},
        {"mail/spool/alice", 2},
    };
    EXPECT_EQ(scanned(root), expected);
}

// Thunderbird rewrites a folder's mbox file when it compacts it: pieces cut from a file
// that changed during the split are dropped, to be taken by the next run.
TEST(MailStores, MboxChangedDuringTheSplitIsLeftForTheNextRun)
{
    QTemporaryDir dir;
    const QString inbox = dir.filePath("Inbox");
    writeFile(inbox, mbox({1, 2, 3}));
    LocalMailFiles::Scan scan;
    bool appended = false;
    scan.onPiece = [&](const QString &) {
        if (std::exchange(appended, true))
            return;
        QFile f(inbox);
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write(mbox({4}));
    };
    QStringList pieces;
    LocalMailFiles::explodeMBox(scan, inbox, pieces);
    EXPECT_TRUE(pieces.isEmpty());
    EXPECT_TRUE(QDir(LocalMailFiles::mboxPieceFolder(inbox)).entryList(QDir::Files).isEmpty());

    LocalMailFiles::Scan again;
    LocalMailFiles::explodeMBox(again, inbox, pieces);
    EXPECT_EQ(pieces.size(), 4);
}
