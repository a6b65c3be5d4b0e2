#include "RenderEngine/RemoteRender.h"
#include "TarnwickApp/Renderbox.h"
#include "Utils/Log.h"

#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace {

using TestSupport::writeFile;

int modeOf(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}


const JobOptions kSecretOptions{{"dest_folder", "/archive"},
                                {"pdf_format", "%Y/__subject__.pdf"},
                                {"password", "hunter2"},
                                {"access_token", "ya29.secret"},
                                {"email_username", "anna@example.org"}};

} // namespace

TEST(RemoteRender, LaunchArgumentCarriesOnlyTheRenderboxIdentity)
{
    RemoteRender handle(kSecretOptions);
    const QStringList args = RemoteRender::launchArguments(handle.renderboxID(), handle.renderboxFolder());
    ASSERT_EQ(args.size(), 2);
    EXPECT_EQ(args[0], "--jsonArgs");
    EXPECT_FALSE(args[1].contains("hunter2"));
    EXPECT_FALSE(args[1].contains("ya29"));
    const QJsonObject json = QJsonDocument::fromJson(args[1].toUtf8()).object();
    EXPECT_EQ(json.keys(), (QStringList{"renderboxFolder", "renderboxID"}));
    EXPECT_EQ(json["renderboxID"].toString(), handle.renderboxID());
    EXPECT_EQ(json["renderboxFolder"].toString(), handle.renderboxFolder());
}

TEST(RemoteRender, JobFileHasTheRequestKeysAndNoSecret)
{
    struct Row {
        QString mailFolder, attachments;
        QStringList present, absent;
    };
    const Row rows[] = {
        {"INBOX/2019", "/mail/Attachments/12", {"mail_folder", "pathToAttachments"}, {}},
        {"", "", {}, {"mail_folder", "pathToAttachments"}},
    };
    for (const Row &row : rows) {
        const QVariantMap job = RemoteRender::jobFileContent(kSecretOptions, "job", "main", row.mailFolder, "/rb/F1",
                                                             row.attachments, "F1");
        EXPECT_FALSE(job.contains("password"));
        EXPECT_FALSE(job.contains("access_token"));
        EXPECT_EQ(job["current_file"], "F1");
        EXPECT_EQ(job["eml_path"], "/rb/F1");
        EXPECT_EQ(job["job_name"], "job");
        EXPECT_EQ(job["main_folder"], "main");
        EXPECT_EQ(job["pdf_format"], "%Y/__subject__.pdf"); // the job's options travel along
        for (const QString &key : row.present)
            EXPECT_TRUE(job.contains(key)) << key.toStdString();
        for (const QString &key : row.absent)
            EXPECT_FALSE(job.contains(key)) << key.toStdString();
    }
}

TEST(RemoteRender, FolderIsOwnerOnlyAndGoesWithTheHandle)
{
    QString folder;
    {
        RemoteRender handle({});
        folder = handle.renderboxFolder();
        EXPECT_EQ(modeOf(folder), 0700);
        EXPECT_EQ(QFileInfo(folder).fileName(), handle.renderboxID());
        writeFile(folder + "/leftover", "private mail");
        EXPECT_FALSE(handle.busyWorkingOnRender());
        EXPECT_FALSE(handle.failed()); // no request was ever sent
    }
    EXPECT_FALSE(QFileInfo::exists(folder));
}

TEST(RemoteRender, JsonOperations)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("job.json");
    const QVariantMap job{{"current_file", "ABC"}, {"eml_files", QVariantList{"/a b/ü.eml"}}, {"tiny_headers", true}};
    ASSERT_TRUE(RemoteRender::dictToJSONFile(job, path));
    EXPECT_EQ(modeOf(path), 0600);
    EXPECT_EQ(RemoteRender::dictFromJSONFile(path), job);
    EXPECT_EQ(RemoteRender::dictFromJSONString(RemoteRender::jsonStringWithPrettyPrint(job)), job);

    struct Row {
        QByteArray content; // null: no file
        bool parsed;
        const char *log;
    };
    const Row rows[] = {
        {QByteArray(), true, "dictFromJSONFile: cant find file: "},
        {"", true, "dictFromJSONFile: cant find file: "},
        {"{\"a\": ", false, "dictFromJSONFile: error: "},
        {"[1, 2]", false, "dictFromJSONFile: error: "},
    };
    for (const Row &row : rows) {
        QFile::remove(path);
        if (!row.content.isNull())
            writeFile(path, row.content);
        Log::captureStart();
        const std::optional<QVariantMap> result = RemoteRender::dictFromJSONFile(path);
        const QStringList log = Log::captureTake();
        EXPECT_EQ(result.has_value(), row.parsed) << row.content.constData();
        if (result) {
            EXPECT_TRUE(result->isEmpty());
        }
        ASSERT_EQ(log.size(), 1);
        EXPECT_TRUE(log[0].startsWith(QString::fromUtf8(row.log))) << log[0].toStdString();
    }
    Log::captureStart();
    EXPECT_TRUE(RemoteRender::dictFromJSONString("not json").isEmpty());
    EXPECT_TRUE(Log::captureTake().value(0).startsWith("jsonStringWithPrettyPrint: error: "));
    EXPECT_FALSE(RemoteRender::dictToJSONFile(job, dir.filePath("missing/folder/job.json")));
}

TEST(RemoteRender, StaleJobFilesAreCountedAndTheFirstIsTaken)
{
    QTemporaryDir dir;
    writeFile(dir.filePath("B.json"), "{}");
    writeFile(dir.filePath("A.json"), "{}");
    writeFile(dir.filePath("A"), "message");
    Log::captureStart();
    EXPECT_EQ(Renderbox::findNextJob(dir.path()), dir.filePath("A.json"));
    const QStringList log = Log::captureTake();
    ASSERT_EQ(log.size(), 1);
    EXPECT_TRUE(log[0].startsWith("findNextJob: someone wrote two files into an engine, likely on a restart: "));
    EXPECT_EQ(RemoteRender::removeJSONFromFolder(dir.path()), 2);
    EXPECT_EQ(RemoteRender::removeJSONFromFolder(dir.path()), 0);
    EXPECT_TRUE(QFileInfo::exists(dir.filePath("A")));
    EXPECT_TRUE(Renderbox::findNextJob(dir.path()).isNull());
}
