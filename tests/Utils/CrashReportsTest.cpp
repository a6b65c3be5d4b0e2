#include "Utils/CrashReports.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>

// A crash with consent leaves a report with the signal and the stack in the folder; the
// process still dies of its signal.
TEST(CrashReports, ACrashLeavesAReportAndStillKillsTheProcess)
{
    QTemporaryDir dir;
    const QString folder = dir.filePath("state/Tarnwick/crashes");
    EXPECT_EXIT(
        {
            CrashReports::install(folder, CrashReports::kRenderbox);
            std::raise(SIGSEGV);
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    const QStringList reports = QDir(folder).entryList({"crash-*.txt"}, QDir::Files);
    ASSERT_EQ(reports.size(), 1);
    QFile report(QDir(folder).filePath(reports.first()));
    ASSERT_TRUE(report.open(QIODevice::ReadOnly));
    const QByteArray text = report.readAll();
    EXPECT_TRUE(text.startsWith("Tarnwick crashed: SIGSEGV\nversion ")) << text.toStdString();
    EXPECT_TRUE(text.contains("\nuser aRenderbox\nstack:\n")) << text.toStdString();
    EXPECT_EQ(QFile(folder).permissions() & (QFile::ReadOther | QFile::ReadGroup), 0);
}
