// `tarnwick sources` and `tarnwick config` as a user runs them: the built executable in a
// configuration folder of its own, and for passwords a real keyring on a private bus.
#include "SecretServiceSession.h"
#include "TestSupport.h"

#include "MailCoreGTM/FXKeychain.h"
#include "Settings/Preferences.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QUuid>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace {

struct CliRun {
    int status = -1;
    QString out, err;
};

CliRun tarnwick(const QStringList &args, const QProcessEnvironment &env, const QByteArray &input = QByteArray())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(TestSupport::tarnwickBinary(), args);
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(120000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

class SourcesCommand : public ::testing::Test {
protected:
    QTemporaryDir config, files;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();

    void SetUp() override
    {
        env.insert("XDG_CONFIG_HOME", config.path());
        env.insert("TZ", "UTC");
        for (const char *sub : {"Mail/Archive 2015", "dest/main", "dest/own"})
            QDir(files.path()).mkpath(sub);
    }
    QString at(const char *sub) const { return files.filePath(QString::fromLatin1(sub)); }
    CliRun run(const QStringList &args, const QByteArray &input = QByteArray()) const { return tarnwick(args, env, input); }
    QJsonArray listed() const { return QJsonDocument::fromJson(run({"sources", "list", "--json"}).out.toUtf8()).array(); }
    QString configText() const
    {
        QFile f(config.filePath("Tarnwick/Tarnwick.conf"));
        if (!f.open(QIODevice::ReadOnly))
            return QString();
        return QString::fromUtf8(f.readAll());
    }
};

TEST_F(SourcesCommand, ConfigKeysAreTypedAsRegistered)
{
    struct Row {
        QStringList args;
        int status;
        const char *output; // on standard output, or in the message on standard error
    };
    const Row rows[] = {
        {{"config", "get", "hoursBetweenUpdates"}, 0, "24\n"},
        {{"config", "get", "useWindowsFriendlyFilenames"}, 0, "true\n"},
        {{"config", "set", "maxNumRenderJobs", "4"}, 0, "maxNumRenderJobs = 4\n"},
        {{"config", "get", "maxNumRenderJobs"}, 0, "4\n"},
        {{"config", "set", "maxNumRenderJobs", "eleven"}, 2, "whole number"},
        {{"config", "set", "maxNumRenderJobs", "11"}, 2, "from 1 to 10"},
        {{"config", "set", "useWindowsFriendlyFilenames", "no"}, 0, "useWindowsFriendlyFilenames = false\n"},
        {{"config", "set", "StartArchivingOnLaunch", "perhaps"}, 2, "true or false"},
        {{"config", "set", "hoursBetweenUpdates", "1a2"}, 2, "number of hours"},
        {{"config", "set", "hoursBetweenUpdates", "-1"}, 2, "number of hours"},
        {{"config", "set", "hoursBetweenUpdates", "0.25"}, 0, "hoursBetweenUpdates = 0.25\n"},
        {{"config", "set", "hoursBetweenUpdates", "0"}, 0, "hoursBetweenUpdates = 0\n"},
        {{"config", "set", "colour", "red"}, 2, "unknown key 'colour'"},
        {{"config", "get", "colour"}, 2, "unknown key 'colour'"},
        {{"config", "set", "EmailAccounts", "a@b.org"}, 2, "tarnwick sources"},
        {{"config", "set", "destBookmarkURL", "/tmp"}, 2, "set-destination"},
        {{"config", "set", "Generalattachment", "%Y/__subject__.bin"}, 2, "__filename__"},
        {{"config", "set", "Generalpdf", "%Y/__subject__.pdf"}, 0, "preview: 2014/Typical Email Subject.pdf\n"},
        {{"config", "unset", "maxNumRenderJobs"}, 0, "maxNumRenderJobs = 1\n"},
        {{"config", "set", "maxNumRenderJobs"}, 2, "takes a key and a value"},
    };
    for (const Row &row : rows) {
        const CliRun r = run(row.args);
        const QString where = row.args.join(' ');
        EXPECT_EQ(r.status, row.status) << where.toStdString() << "\n" << r.err.toStdString();
        if (row.status == 0)
            EXPECT_TRUE(r.out.endsWith(QString::fromUtf8(row.output))) << where.toStdString() << ": " << r.out.toStdString();
        else
            EXPECT_TRUE(r.err.contains(QString::fromUtf8(row.output))) << where.toStdString() << ": " << r.err.toStdString();
    }
    // What was stored has the register's types.
    Preferences stored(config.filePath("Tarnwick/Tarnwick.conf"));
    EXPECT_FALSE(stored.boolForKey("useWindowsFriendlyFilenames"));
    EXPECT_EQ(stored.value("hoursBetweenUpdates").toString(), "0");
    EXPECT_FALSE(stored.hasStoredValue("maxNumRenderJobs"));
}

TEST_F(SourcesCommand, FolderSourcesFromAddingToRemoving)
{
    ASSERT_EQ(run({"config", "set-destination", at("dest/main")}).status, 0);
    const QString folder = at("Mail/Archive 2015");
    CliRun r = run({"sources", "add-folder", folder});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(run({"sources", "add-folder", folder + "/"}).status, 0);
    QJsonArray all = listed();
    ASSERT_EQ(all.size(), 1) << "a folder is a source once";
    QJsonObject s = all[0].toObject();
    EXPECT_EQ(s["key"].toString(), folder);
    EXPECT_EQ(s["kind"].toString(), "folder");
    EXPECT_EQ(s["destination"].toString(), "Default (" + at("dest/main") + "/Archive 2015)");
    EXPECT_TRUE(s["lastRun"].isNull());
    EXPECT_EQ(s["pdfCount"].toInt(), 0);

    r = run({"sources", "set-format", folder, "attachment", "%Y/__subject__.bin"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.err.contains("__filename__")) << r.err.toStdString();
    r = run({"sources", "set-format", folder, "pdf", "%Y/%m/__subject__.pdf"});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("preview: 2014/01/Typical Email Subject.pdf")) << r.out.toStdString();

    ASSERT_EQ(run({"sources", "set-dest", folder, at("dest/own")}).status, 0);
    // The own destination is a folder reference: renamed, it is still found.
    ASSERT_TRUE(QDir().rename(at("dest/own"), at("dest/own renamed")));
    s = listed()[0].toObject();
    EXPECT_TRUE(s["ownDestination"].toBool());
    EXPECT_EQ(s["destination"].toString(), at("dest/own renamed") + "/Archive 2015");
    EXPECT_EQ(s["formats"].toObject()["pdf"].toString(), "%Y/%m/__subject__.pdf");

    ASSERT_EQ(run({"sources", "set-dest", folder, "--default"}).status, 0);
    ASSERT_EQ(run({"sources", "set-format", folder, "pdf", "--default"}).status, 0);
    EXPECT_EQ(listed()[0].toObject()["formats"].toObject()["pdf"].toString(),
              "%Y/%m/%Y-%m-%d %H.%M.%SZ  __subject__.pdf");
    EXPECT_FALSE(listed()[0].toObject()["ownDestination"].toBool());

    ASSERT_EQ(run({"sources", "set-format", folder, "pdf", "%Y/%m/__subject__.pdf"}).status, 0);
    EXPECT_EQ(run({"sources", "remove", at("Mail/nothing")}).status, 2);
    r = run({"sources", "remove", folder});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(listed().isEmpty());
    // Its other keys stay, as the desktop leaves them.
    Preferences stored(config.filePath("Tarnwick/Tarnwick.conf"));
    EXPECT_EQ(stored.stringForKey(folder + "pdf"), "%Y/%m/__subject__.pdf");
}

TEST_F(SourcesCommand, JobsFindTheMainDestinationAfterItWasRenamed)
{
    ASSERT_EQ(run({"config", "set-destination", at("dest/main")}).status, 0);
    ASSERT_TRUE(QDir().rename(at("dest/main"), at("dest/main 2")));
    const QString sample = QString(TARNWICK_SOURCE_DIR) + "/samples/mailbox/2014-quarterly-report.eml";
    const CliRun r = run({"paths", "--json", sample});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QJsonArray all = QJsonDocument::fromJson(r.out.toUtf8()).array();
    ASSERT_EQ(all.size(), 1) << r.out.toStdString();
    EXPECT_TRUE(all[0].toObject()["pdf"].toString().startsWith(at("dest/main 2") + "/")) << r.out.toStdString();
    EXPECT_EQ(run({"config", "get", "destBookmarkURL"}).out, at("dest/main 2") + "\n");
}

TEST_F(SourcesCommand, PasswordsNeverComeFromTheCommandLine)
{
    struct Row {
        QStringList args;
        const char *message;
    };
    const Row rows[] = {
        {{"sources", "add-account", "anna@gmx.de", "--password", "hunter22"}, "never taken from the command line"},
        {{"sources", "add-account", "anna@gmx.de", "--password=hunter22"}, "never taken from the command line"},
        // Standard input is no terminal here, so there is nobody to prompt.
        {{"sources", "add-account", "anna@gmx.de"}, "--password-stdin"},
        {{"sources", "add-account", "anna@example.invalid", "--password-stdin"}, "--server"},
        {{"sources", "add-account", "anna", "--password-stdin"}, "not an e-mail address"},
    };
    for (const Row &row : rows) {
        const CliRun r = run(row.args, "hunter22\n");
        EXPECT_EQ(r.status, 2) << row.args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains(QString::fromLatin1(row.message))) << r.err.toStdString();
    }
    EXPECT_FALSE(configText().contains("anna")) << "nothing was stored";
}

TEST_F(SourcesCommand, WithoutAPasswordStoreNothingIsStored)
{
    PrivateTestBus emptyBus; // a bus on which no Secret Service runs, nor can be started
    QString error;
    if (!emptyBus.start(&error))
        GTEST_SKIP() << error.toStdString();
    const QString noStore = "no password store: start a Secret Service such as gnome-keyring or KeePassXC";
    for (const QString &bus : {emptyBus.address(), QString("unix:path=" + files.filePath("no-bus-here"))}) {
        env.insert("DBUS_SESSION_BUS_ADDRESS", bus);
        const CliRun r = run({"sources", "add-account", "anna@gmx.de", "--password-stdin"}, "hunter22\n");
        EXPECT_EQ(r.status, 2) << bus.toStdString();
        EXPECT_TRUE(r.err.contains(noStore)) << r.err.toStdString();
        EXPECT_FALSE(configText().contains("anna")) << "no account without its password";

        // An account whose password cannot be removed is kept, so its secret is not orphaned.
        {
            Preferences prefs(config.filePath("Tarnwick/Tarnwick.conf"));
            prefs.setValue("EmailAccounts", QStringList{"bob@gmx.de"});
        }
        const CliRun removed = run({"sources", "remove", "bob@gmx.de"});
        EXPECT_EQ(removed.status, 2);
        EXPECT_TRUE(removed.err.contains(noStore)) << removed.err.toStdString();
        EXPECT_TRUE(configText().contains("bob@gmx.de"));
    }
}

// What a terminal shows while `sources add-account` asks for the password that `typed`
// answers; `status` gets the exit status.
QByteArray terminalSession(const QStringList &args, const QProcessEnvironment &env, const QByteArray &typed, int *status)
{
    std::vector<QByteArray> argStore{QFile::encodeName(TestSupport::tarnwickBinary())};
    for (const QString &a : args)
        argStore.push_back(a.toUtf8());
    std::vector<QByteArray> envStore;
    for (const QString &e : env.toStringList())
        envStore.push_back(e.toUtf8());
    std::vector<char *> argv, envp;
    for (auto &a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto &e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    int terminal = -1;
    const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child == 0) {
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    QByteArray screen;
    bool answered = false;
    for (;;) {
        pollfd p{terminal, POLLIN, 0};
        if (::poll(&p, 1, 60000) <= 0) // a wedged child: give up rather than hang the suite
            break;
        char buffer[512];
        const ssize_t n = ::read(terminal, buffer, sizeof buffer);
        if (n <= 0)
            break; // the child has ended and closed the terminal
        screen.append(buffer, n);
        if (!answered && screen.contains("Password for ")) {
            answered = true;
            (void)!::write(terminal, typed.constData(), size_t(typed.size()));
        }
    }
    int wstatus = 0;
    ::waitpid(child, &wstatus, 0);
    ::close(terminal);
    *status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    return screen;
}

TEST_F(SourcesCommand, ThePromptDoesNotEchoThePassword)
{
    PrivateTestBus emptyBus;
    QString error;
    if (!emptyBus.start(&error))
        GTEST_SKIP() << error.toStdString();
    env.insert("DBUS_SESSION_BUS_ADDRESS", emptyBus.address());
    int status = -1;
    const QByteArray screen = terminalSession({"sources", "add-account", "anna@gmx.de"}, env, "S3cret-typed\n", &status);
    EXPECT_TRUE(screen.contains("Password for anna@gmx.de: ")) << screen.toStdString();
    EXPECT_FALSE(screen.contains("S3cret")) << screen.toStdString();
    EXPECT_TRUE(screen.contains("no password store")) << "the password was read and handed on";
    EXPECT_EQ(status, 2);
}

TEST_F(SourcesCommand, ALockedKeyringIsNoPasswordStore)
{
    REQUIRE_SECRET_SERVICE(shared); // skips when the programs are missing
    QString failure;
    const auto keyring = SecretServiceSession::startPrivate(&failure);
    ASSERT_TRUE(keyring) << failure.toStdString();
    ASSERT_TRUE(keyring->lockDefaultKeyring());
    // Unlocking needs a prompt, and nothing can show one on the test bus.
    env = keyring->environmentFor(config.path());
    const CliRun r = run({"sources", "add-account", "anna@gmx.de", "--password-stdin"}, "hunter22\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.err.contains("no password store: start a Secret Service")) << r.err.toStdString();
    EXPECT_FALSE(configText().contains("anna"));
}

TEST_F(SourcesCommand, AnAccountsPasswordIsOnlyInTheKeyring)
{
    REQUIRE_SECRET_SERVICE(session);
    env = session->environmentFor(config.path());
    const QByteArray password = "Tr0ub4dor&3-" + QUuid::createUuid().toByteArray(QUuid::Id128);
    const QString email = "anna." + QUuid::createUuid().toString(QUuid::Id128).left(8) + "@gmx.de";
    const CliRun r = run({"sources", "add-account", email, "--password-stdin", "--verbose"}, password + "\n");
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("imap.gmx.net")) << "the server comes from the provider table";
    EXPECT_EQ(FXKeychain::defaultKeychain().objectForKey(email + "__PASS").toString(), QString::fromUtf8(password));

    // Not in the configuration folder, the output or the log.
    QDirIterator it(config.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    int files = 0;
    while (it.hasNext()) {
        QFile f(it.next());
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_FALSE(f.readAll().contains(password)) << f.fileName().toStdString();
        ++files;
    }
    EXPECT_GE(files, 1);
    EXPECT_FALSE(r.out.contains(QString::fromUtf8(password)));
    EXPECT_FALSE(r.err.contains(QString::fromUtf8(password)));

    const QJsonArray all = listed();
    ASSERT_EQ(all.size(), 1);
    const QJsonObject s = all[0].toObject();
    EXPECT_EQ(s["kind"].toString(), "account");
    EXPECT_EQ(s["server"].toString(), "imap.gmx.net");
    EXPECT_EQ(s["signIn"].toString(), "kauth_user_pass");
    EXPECT_TRUE(s["destination"].toString().startsWith("Default (none chosen")) << "no destination chosen yet";
    EXPECT_TRUE(s["destinationPath"].isNull());

    // Removing the account takes its password item with it.
    const CliRun removed = run({"sources", "remove", email});
    EXPECT_EQ(removed.status, 0) << removed.err.toStdString();
    EXPECT_FALSE(FXKeychain::defaultKeychain().itemData(email + "__PASS"));
    EXPECT_EQ(session->countItems("org.tarnwick.Tarnwick", email + "__PASS"), 0);
    EXPECT_TRUE(listed().isEmpty());
}

} // namespace
