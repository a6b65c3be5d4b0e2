// The renderbox handle with real renderboxes (this project's executable) on the test
// process's private bus.

#include "RenderEngine/RemoteRender.h"

#include "TestSupport.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>

namespace {

QByteArray sample(const char *name)
{
    QFile f(QStringLiteral(TARNWICK_SOURCE_DIR "/samples/mailbox/") + QString::fromUtf8(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool waitUntilIdle(RemoteRender &handle, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (handle.busyWorkingOnRender()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
}

int pdfsBelow(const QString &root)
{
    int n = 0;
    QDirIterator it(root, {"*.pdf"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        n += info.size() >= 7000 ? 1 : 0;
    }
    return n;
}

} // namespace

// With a limit of one request per child, every request starts a new child, and each
// request is still served (the new child finds the waiting job itself).
TEST(RemoteRender, ReplacesItsChildAfterTheRequestLimit)
{
    RemoteRender::setRenderboxProgram(TestSupport::tarnwickBinary());
    RemoteRender::setMaxRequestsPerChild(1);
    QTemporaryDir dest;
    const JobOptions options{{JobKey::destFolder, dest.path()},
                             {JobKey::pdfFormat, "%Y/%m/__subject__.pdf"},
                             {JobKey::attachmentFormat, "%Y/%m/__subject__ (attachments)/__filename__"},
                             {JobKey::emlFormat, ""},
                             {"password", "hunter2"}};
    {
        RemoteRender handle(options);
        QSet<qint64> children;
        for (const char *name : {"2019-sommerfest-einladung.eml", "2023-japanese-meeting-minutes.eml",
                                 "2021-invoice-with-pdf.eml"}) {
            ASSERT_TRUE(handle.renderPDF(sample(name), "Mail", "INBOX", options, "job", QString()));
            // The job file is on disk, without the password.
            QFile job(handle.jobFilePath());
            ASSERT_TRUE(job.open(QIODevice::ReadOnly));
            EXPECT_FALSE(job.readAll().contains("hunter2"));
            children.insert(handle.childProcessId());
            ASSERT_TRUE(waitUntilIdle(handle, 180000)) << name;
            EXPECT_FALSE(handle.failed()) << name;
            EXPECT_EQ(handle.renderCountOnCurrentTask(), 1);
        }
        EXPECT_EQ(children.size(), 3);
        EXPECT_FALSE(children.contains(0));
        // Served requests leave nothing behind in the folder.
        EXPECT_TRUE(QDir(handle.renderboxFolder()).entryList(QDir::Files).isEmpty());
    }
    RemoteRender::setMaxRequestsPerChild(31);
    EXPECT_EQ(pdfsBelow(dest.path()), 3);
}
