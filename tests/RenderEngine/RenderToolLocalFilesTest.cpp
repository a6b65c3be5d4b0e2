#include "RenderEngine/RenderTool.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

TEST(RenderToolLocalFiles, CommonAncestorOfSeveralPaths)
{
    struct Row {
        QStringList paths;
        QString expected;
    };
    const Row rows[] = {
        {{}, QString()},
        {{"/a/b/c/x.eml", "/a/b/d/y.eml"}, "/a/b"},
        {{"/a/b/x.eml", "/a/b/y.eml", "/a/z.eml"}, "/a"},
        {{"/a/x.eml", "/b/y.eml"}, "/"},
        {{"/A/x.eml", "/a/y.eml"}, "/"}, // case-sensitive
    };
    for (const Row &row : rows)
        EXPECT_EQ(RenderTool::commonAncestorEMLPaths(row.paths), row.expected) << row.paths.join(',').toStdString();
}

TEST(RenderToolLocalFiles, CommonAncestorOfOnePath)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("m.eml");
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    EXPECT_EQ(RenderTool::commonAncestorEMLPaths({dir.path()}), dir.path());
    EXPECT_EQ(RenderTool::commonAncestorEMLPaths({file}), dir.path());
    // Missing paths: a long "extension" means a folder name with a dot, kept whole.
    EXPECT_EQ(RenderTool::commonAncestorEMLPaths({"/nowhere/box/m.eml"}), "/nowhere/box");
    EXPECT_EQ(RenderTool::commonAncestorEMLPaths({"/nowhere/Work.mailbox"}), "/nowhere/Work.mailbox");
}

TEST(RenderToolLocalFiles, MailFolderBelowTheBase)
{
    const QString uuid = "0A1B2C3D-0000-1111-2222-333344445555";
    ASSERT_EQ(uuid.size(), 36);
    struct Row {
        QString path, base, jobName, expected;
    };
    const Row rows[] = {
        {"/m/Work/Projects/x.eml", "/m/Work", "3 EML files to /a", "Work/Projects"},
        {"/m/Work/x.eml", "/m/Work", "3 EML files to /a", "EML"},
        {"/m/Work/x.eml", "/m/Work", "/home/u/Mail Folder", "Mail Folder"},
        {"/Mail/V2/Work.mbox/" + uuid + "/Data/1/2/Messages/9.emlx", "/Mail/V2", "j", "V2/Work.mbox"},
        {"/elsewhere/m/Work/Sub/x.eml", "/m/Work", "j", "Work/Sub"}, // base found inside the path
    };
    for (const Row &row : rows)
        EXPECT_EQ(RenderTool::emlSubFolder(row.path, row.base, row.jobName), row.expected) << row.path.toStdString();
}

TEST(RenderToolLocalFiles, MboxPieceLiesAtItsMboxPath)
{
    const QString piece = QDir::tempPath() + "/home/u/Archive/old.mbox/piece-1.eml";
    EXPECT_EQ(RenderTool::emlSubFolder(piece, "/home/u/Archive", "j"), "Archive/old.mbox");
}

TEST(RenderToolLocalFiles, MainFolder)
{
    EXPECT_EQ(RenderTool::mainFolderForBasePath("/home/u/Mail"), "Mail");
    EXPECT_EQ(RenderTool::mainFolderForBasePath("/"), "PDFs");
    EXPECT_EQ(RenderTool::mainFolderForBasePath(""), "PDFs");
}

} // namespace
