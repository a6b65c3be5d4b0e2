#include "MimeTestSupport.h"

#include "TestSupport.h"

#include <QProcess>

#include <sys/stat.h>

using namespace MimeTest;

namespace {

struct CliRun {
    int status = -1;
    std::string out, err;
};

CliRun tarnwick(const QStringList &args, const QByteArray &input = QByteArray())
{
    QProcess p;
    p.start(TestSupport::tarnwickBinary(), QStringList{"extract"} + args);
    if (!input.isEmpty())
        p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(60000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput().toStdString(),
            p.readAllStandardError().toStdString()};
}

class ExtractCommand : public Engine {
protected:
    QString q(const std::string &s) { return QString::fromStdString(s); }
};

const char *kMessage = "Subject: x\nContent-Type: multipart/mixed; boundary=b\n\n--b\n"
                       "Content-Type: text/plain; name=\"my file.txt\"\n\none\n--b\n"
                       "Content-Type: text/plain; name=\"my file.txt\"\n\ntwo\n--b--\n";

TEST_F(ExtractCommand, BadUsageExitsWithOneAndTheUsage)
{
    const QStringList cases[] = {{"--no-such-option", "-i", "m", "-d", "o"}, {"-i"}, {"-i", "m"}, {}};
    for (const QStringList &args : cases) {
        const CliRun r = tarnwick(args);
        EXPECT_EQ(r.status, 1) << args.join(' ').toStdString();
        EXPECT_NE((r.out + r.err).find("Usage: tarnwick extract"), std::string::npos);
    }
    EXPECT_NE(tarnwick({"--bogus"}).out.find("Cannot interpret option \"--bogus\""), std::string::npos);
    EXPECT_EQ(tarnwick({"-h"}).status, 0);
    EXPECT_NE(tarnwick({"-V"}).out.find("tarnwick extract "), std::string::npos);
}

TEST_F(ExtractCommand, OptionsChangeNamesAndReports)
{
    writeFile(root() + "/m.eml", kMessage);
    CliRun r = tarnwick({"-v", "--paranoid", "-p", "part", "-i", q(root() + "/m.eml"), "-d", q(out())});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(folder(out()), (std::map<std::string, std::string>{
                                 {"part0", ""}, {"my_file.txt", "one\n"}, {"my_file_1.txt", "two\n"}}));
    EXPECT_NE(r.out.find("Decoding filename=my_file_1.txt"), std::string::npos);

    const std::string second = root() + "/second";
    r = tarnwick({"--overwrite", "--no-nameless", "-i", q(root() + "/m.eml"), "-d", q(second)});
    EXPECT_EQ(folder(second), (std::map<std::string, std::string>{{"my file.txt", "two\n"}}));
}

TEST_F(ExtractCommand, StandardInputAFolderOfMessagesAndAMailbox)
{
    CliRun r = tarnwick({"-i", "-", "-d", q(out())}, "Subject: in\n\nfrom stdin\n");
    EXPECT_EQ(readFile(out() + "/textfile0"), "from stdin\n");

    const std::string many = root() + "/many", dest = root() + "/dest";
    mkdir(many.c_str(), 0700);
    writeFile(many + "/a.eml", "Subject: a\nContent-Type: text/plain; name=a.txt\n\nA\n");
    writeFile(many + "/b.eml", "Subject: b\nContent-Type: text/plain; name=b.txt\n\nB\n");
    r = tarnwick({"-i", q(many), "-d", q(dest)});
    EXPECT_NE(r.err.find("input file is a directory, recursing"), std::string::npos);
    EXPECT_NE(r.out.find("Unpacking mailpack " + many + "/a.eml"), std::string::npos);
    EXPECT_EQ(readFile(dest + "/a.txt") + readFile(dest + "/b.txt"), "A\nB\n");

    const std::string box = root() + "/box";
    writeFile(root() + "/mbox", "From x Sat Jan 18 08:16:20 2014\nSubject: 1\nContent-Type: text/plain; name=one.txt\n\n1\n\n"
                                "From y Sat Jan 18 08:16:20 2014\nSubject: 2\nContent-Type: text/plain; name=two.txt\n\n2\n");
    r = tarnwick({"--mailbox", "-i", q(root() + "/mbox"), "-d", q(box)});
    EXPECT_EQ(folder(box), (std::map<std::string, std::string>{{"one.txt", "1\n\n"}, {"two.txt", "2\n"}}));
}

TEST_F(ExtractCommand, HeaderDumpAndATimeoutThatIsNotReached)
{
    writeFile(root() + "/m.eml", kMessage);
    const CliRun r = tarnwick({"--timeout", "60", "-e", "dump.txt", "-i", q(root() + "/m.eml"), "-d", q(out())});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string dump = readFile(out() + "/dump.txt");
    EXPECT_NE(dump.find("Subject: x"), std::string::npos);
    EXPECT_NE(dump.find("name=\"my file.txt\""), std::string::npos);
    EXPECT_EQ(readFile(out() + "/my file.txt"), "one\n");
}

TEST_F(ExtractCommand, FailuresAndExtendedErrors)
{
    EXPECT_EQ(tarnwick({"-i", q(root() + "/absent.eml"), "-d", q(out())}).status, 2);
    writeFile(root() + "/cut.eml", "Subject: cut");
    EXPECT_EQ(tarnwick({"--extended-errors", "-i", q(root() + "/cut.eml"), "-d", q(out())}).status, 0);
    writeFile(root() + "/b64.eml", "Subject: b\nContent-Transfer-Encoding: base64\n\nQUJD");
    EXPECT_EQ(tarnwick({"--extended-errors", "-i", q(root() + "/b64.eml"), "-d", q(out())}).status, 242);
}

} // namespace
