#pragma once
// What `tarnwick archive` tells a terminal about running and ended jobs: the progress
// gauge beside a job's status, the summary of an ended job, a block of progress lines
// redrawn in place (one per job), and the wait for the renderboxes at the end.

#include <QString>
#include <QStringList>

class RenderTool;

namespace ArchiveProgress {

constexpr int kExitFailed = 3;

// "[#######.............]  35%  12.4 msg/s, 3 min left": the gauge of a progress line.
QString progressGauge(double fraction, qint64 handedOut, qint64 total, double seconds);

// The summary of an ended job on standard output (its reason on standard error when it
// failed; `sourceKey` prefixes both when given); the exit status it stands for: 0 done,
// 1 cancelled, 3 failed.
int reportJobEnd(const RenderTool &job, qint64 pdfsMade, double seconds, const QString &sourceKey);

// Tells every renderbox on this run's bus to quit and waits (at most 3 s) for them to go;
// late "rb_anotherPDFMade" notifications are delivered by then.
void endRenderboxes();

// Lines drawn on standard error and redrawn in place: each is cut to the terminal's width
// so that none wraps and the cursor arithmetic holds.
class LineBlock {
public:
    void draw(const QStringList &lines);
    // Removes the block, so that other output can follow in its place.
    void clear();

private:
    int m_drawn = 0;
};

} // namespace ArchiveProgress
