// mbox split throughput and memory: generates an mbox of a given size (default 2 GiB)
// of varied messages, then measures, in the same run,
//   read      a plain sequential read of the file in 1 MiB blocks (the I/O ceiling)
//   baseline  the whole-file split: the file read into memory, cleaned, cut and written
//   split     the scan's streaming split into private piece files, of a file named like a
//             Thunderbird folder ("Inbox", no extension), so that the scan must recognise
//             it by its first line
// and reports MB/s for both, their ratio, and the peak resident memory of the split,
// which must stay far below the file size.
//
// Usage: mbox_split_bench [size-in-MiB] [work-folder]

#include "localmail/LocalMailFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <sys/resource.h>

namespace {

long peakRssKiB()
{
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

long currentRssKiB()
{
    QFile f(QStringLiteral("/proc/self/statm"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return f.readAll().split(' ').value(1).toLong() * (sysconf(_SC_PAGESIZE) / 1024);
}

// Messages of varied size: short notes, medium letters and a few with large base64
// attachments, so that both many small pieces and long pieces are exercised.
void generate(const QString &path, qint64 bytes)
{
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    const QByteArray line = QByteArray(76, 'Q') + "\r\n";
    qint64 written = 0;
    for (quint64 n = 0; written < bytes; ++n) {
        QByteArray m = "From sender" + QByteArray::number(n) + "@example.org Sat Jan 18 08:16:20 2014\r\n"
                       "From: Sender <sender" + QByteArray::number(n) + "@example.org>\r\n"
                       "Subject: message " + QByteArray::number(n) + "\r\n"
                       "Date: Sat, 18 Jan 2014 08:16:20 +0000\r\n\r\n";
        const int lines = n % 97 == 0 ? 40000 : n % 7 == 0 ? 400 : 12;
        for (int i = 0; i < lines; ++i)
            m += line;
        m += "\r\n";
        f.write(m);
        written += m.size();
    }
}

// The whole-file split, as the simple approach does it: peak memory is twice the file.
qint64 wholeFileSplit(const QString &mbox, const QString &folder, long *peakKiB)
{
    QDir().mkpath(folder);
    QFile f(mbox);
    f.open(QIODevice::ReadOnly);
    const QByteArray data = LocalMailFiles::cleanUpLineEndings(f.readAll()).replace('\0', QByteArray());
    *peakKiB = peakRssKiB();
    qint64 offset = 0, pieces = 0;
    while (data.size() - offset >= 100) {
        qint64 p = data.indexOf("\nFrom ", offset + 10);
        const qint64 length = p < 0 ? data.size() - offset : p - offset;
        const qint64 lf = data.indexOf('\n', offset + 2);
        if (lf < 0)
            break;
        QFile piece(QStringLiteral("%1/m_%2.eml").arg(folder).arg(offset + length));
        piece.open(QIODevice::WriteOnly);
        piece.write(data.constData() + lf + 1, qMax<qint64>(0, offset + length - lf - 1));
        ++pieces;
        offset += length;
    }
    return pieces;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 mib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 2048;
    QTemporaryDir work(argc > 2 ? QString::fromLocal8Bit(argv[2]) + QStringLiteral("/mboxbench-XXXXXX")
                                : QDir::tempPath() + QStringLiteral("/mboxbench-XXXXXX"));
    const QString mbox = work.filePath(QStringLiteral("Inbox"));
    std::printf("generating %lld MiB mbox...\n", static_cast<long long>(mib));
    std::fflush(stdout);
    generate(mbox, mib * 1024 * 1024);
    const double sizeMB = QFile(mbox).size() / 1e6;

    QElapsedTimer t;
    t.start();
    {
        QFile f(mbox);
        f.open(QIODevice::ReadOnly);
        QByteArray block(1 << 20, Qt::Uninitialized);
        while (f.read(block.data(), block.size()) > 0) {
        }
    }
    const double readSecs = t.elapsed() / 1000.0;

    const long rssBefore = currentRssKiB();
    t.restart();
    QStringList emlxs;
    const QStringList pieces = LocalMailFiles::explodeFilesAndFolders({mbox}, &emlxs);
    const double splitSecs = t.elapsed() / 1000.0;
    const long peak = peakRssKiB();
    QDir(LocalMailFiles::mboxPieceFolder(mbox)).removeRecursively();

    long baselinePeak = 0;
    t.restart();
    const qint64 baselinePieces = wholeFileSplit(mbox, work.filePath(QStringLiteral("whole")), &baselinePeak);
    const double wholeSecs = t.elapsed() / 1000.0;

    std::printf("mbox split: %.0f MB in %d pieces\n", sizeMB, int(pieces.size()));
    std::printf("  sequential read only          %8.1f MB/s\n", sizeMB / readSecs);
    std::printf("  baseline whole-file split     %8.1f MB/s   peak memory %8.1f MB   (%lld pieces)\n",
                sizeMB / wholeSecs, baselinePeak / 1024.0, static_cast<long long>(baselinePieces));
    std::printf("  streaming split               %8.1f MB/s   peak memory %8.1f MB   (%lld pieces)\n",
                sizeMB / splitSecs, peak / 1024.0, static_cast<long long>(pieces.size()));
    std::printf("  streaming / baseline: throughput %.2f x, peak memory %.3f x (before the split: %.1f MB; aim < 200 MB)\n",
                wholeSecs / splitSecs, double(peak) / double(qMax(1L, baselinePeak)), rssBefore / 1024.0);
    return 0;
}
