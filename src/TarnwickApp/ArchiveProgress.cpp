#include "TarnwickApp/ArchiveProgress.h"

#include "RenderEngine/RemoteRender.h"
#include "RenderEngine/RenderTool.h"
#include "TarnwickApp/ConsoleOutput.h"
#include "Utils/DistributedNotificationCenter.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <sys/ioctl.h>
#include <unistd.h>

namespace ArchiveProgress {

namespace {

constexpr int kChildrenGoneWaitMs = 3000;

int terminalColumns()
{
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

} // namespace

QString progressGauge(double fraction, qint64 handedOut, qint64 total, double seconds)
{
    constexpr int kWidth = 20;
    const double f = qBound(0.0, fraction, 1.0);
    const int filled = int(f * kWidth);
    QString gauge = QLatin1Char('[') + QString(filled, QLatin1Char('#')) + QString(kWidth - filled, QLatin1Char('.')) +
                    QStringLiteral("] %1%").arg(int(f * 100), 3);
    if (seconds < 2 || handedOut <= 0)
        return gauge;
    const double rate = handedOut / seconds;
    gauge += QStringLiteral("  %1 msg/s").arg(rate, 0, 'f', 1);
    if (total > handedOut && rate > 0) {
        const qint64 left = qint64((total - handedOut) / rate);
        gauge += left >= 3600 ? QStringLiteral(", %1 h %2 min left").arg(left / 3600).arg(left % 3600 / 60)
                 : left >= 60 ? QStringLiteral(", %1 min left").arg(left / 60)
                              : QStringLiteral(", %1 s left").arg(left);
    }
    return gauge;
}

int reportJobEnd(const RenderTool &job, qint64 pdfsMade, double seconds, const QString &sourceKey)
{
    const RenderTool::Result &result = job.result();
    const bool failed = result.outcome == RenderTool::Result::Outcome::Failed;
    QString outcome = job.wasCancelled() ? QStringLiteral("Cancelled") : failed ? QStringLiteral("Failed")
                                                                                : QStringLiteral("Done");
    if (!sourceKey.isEmpty())
        outcome = QStringLiteral("%1: %2").arg(sourceKey, outcome);
    printOut(QStringLiteral("%1: %2 of %3 messages handed out, %4 PDFs written in this run, %5 renderbox failures "
                            "(emergency .eml copies), %6 abandoned after a retry, %7 not listed, %8 s\n")
                 .arg(outcome)
                 .arg(job.numEmailsArchived())
                 .arg(job.totalEmailCount())
                 .arg(pdfsMade)
                 .arg(job.renderboxFailureCount())
                 .arg(job.abandonedCount())
                 .arg(result.unlisted)
                 .arg(seconds, 0, 'f', 1));
    if (job.abandonedCount() > 0)
        printOut(QStringLiteral("Abandoned messages are listed in %1\n").arg(job.errorsFilePath()));
    if (failed)
        printErr(QStringLiteral("tarnwick archive: %1%2\n")
                     .arg(sourceKey.isEmpty() ? QString() : sourceKey + QStringLiteral(": "), result.reason));
    return job.wasCancelled() ? 1 : failed ? kExitFailed : 0;
}

void endRenderboxes()
{
    // The jobs have told their renderboxes to quit; this front end ends too, so every
    // renderbox on its bus goes. Give them a moment to leave before the bus does.
    DistributedNotificationCenter::defaultCenter().postNotificationName(QStringLiteral("rb_quit_all"),
                                                                        QStringLiteral("all"));
    QElapsedTimer waiting;
    waiting.start();
    while (RemoteRender::liveRenderboxCount() > 0 && waiting.elapsed() < kChildrenGoneWaitMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    // Late "rb_anotherPDFMade" notifications of the last renders are in by now.
    QCoreApplication::processEvents();
}

void LineBlock::draw(const QStringList &lines)
{
    const int width = qMax(20, terminalColumns() - 1);
    QString out;
    if (m_drawn > 0)
        out += QStringLiteral("\033[%1F").arg(m_drawn); // to the start of the block's first line
    for (const QString &line : lines)
        out += QStringLiteral("\033[K") + (line.size() > width ? line.left(width - 1) + QChar(0x2026) : line) +
               QLatin1Char('\n');
    out += QStringLiteral("\033[J"); // lines of jobs that have gone
    printErr(out);
    m_drawn = int(lines.size());
}

void LineBlock::clear()
{
    if (m_drawn > 0)
        printErr(QStringLiteral("\033[%1F\033[J").arg(m_drawn));
    m_drawn = 0;
}

} // namespace ArchiveProgress
