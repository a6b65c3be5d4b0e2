// Search over an archive of generated messages: how fast the index is made and kept up to
// date, how large it is, and how long a query takes, side by side with the manual search
// (the walk over names and tags that the view falls back on) on the same archive and the
// same queries, measured in the same run.
//
//   search_bench [--count N] [--cache DIR] [--tarnwick PATH]
//
// The archive is made once by `tarnwick archive` (renderboxes, real PDFs) from an mbox of
// N generated messages (default 10000) and kept in DIR (default
// $XDG_CACHE_HOME/tarnwick-bench/search-N), so later runs only measure the search. The
// index is made fresh in a temporary folder on every run.

#include "SearchIndex/ArchiveIndex.h"
#include "SearchIndex/ArchiveSearch.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimeZone>

#include <algorithm>
#include <cstdio>

namespace {

const QStringList kFirst{"anna", "ben", "clara", "david", "emma", "felix", "greta", "hugo", "ines", "jonas",
                         "karin", "lars", "mia", "nils", "olga", "paul", "rosa", "sven", "tina", "uwe"};
const QStringList kLast{"berg", "schmidt", "tanaka", "martin", "novak", "rossi", "larsen", "meyer", "dubois", "kim"};
const QStringList kDomains{"example.org", "example.com", "example.de", "example.jp", "example.net"};
const QStringList kTopics{"Invoice", "Meeting", "Report", "Newsletter", "Travel", "Budget", "Kickoff", "Contract",
                          "Reminder", "Minutes", "Order", "Delivery", "Workshop", "Survey", "Payroll"};
const QStringList kWords{"quarterly", "figures", "project", "garden", "schedule", "review", "office", "supplier",
                         "catalogue", "warehouse", "invoice", "payment", "agenda", "holiday", "printer", "contract",
                         "Käsespätzle", "Grüße", "Bäckerei", "Sommerfest", "Straße", "Übersicht", "Köln",
                         "München", "café", "réunion", "Łódź", "spotkanie", "seed", "harvest", "ticket", "hotel"};
const QStringList kJapanese{"定例会議の議事録をお送りします。", "新しい倉庫管理システムを導入します。",
                            "ご不明な点がございましたらご連絡ください。"};

QString address(int n) { return kFirst[n % kFirst.size()] + u'.' + kLast[(n / 7) % kLast.size()] + u'@' + kDomains[n % kDomains.size()]; }

QByteArray message(int i)
{
    QRandomGenerator rng(quint32(i) * 2654435761u);
    const auto word = [&] { return kWords[rng.bounded(int(kWords.size()))]; };
    const QString subject = QStringLiteral("%1 %2 %3 %4").arg(kTopics[i % kTopics.size()], word(), word()).arg(i);
    QString body;
    for (int line = 0; line < 12; ++line) {
        for (int w = 0; w < 12; ++w)
            body += word() + u' ';
        body += u'\n';
    }
    if (i % 7 == 0)
        body += kJapanese[i % kJapanese.size()] + u'\n';
    const QDateTime date = QDateTime(QDate(2016, 1, 1), QTime(9, 0), QTimeZone::utc()).addSecs(qint64(i) * 26000);
    const QString text = QStringLiteral("From bench@localhost %1\nFrom: %2\nTo: %3\nCc: %4\nSubject: =?UTF-8?B?%5?=\n"
                                        "Date: %6\nMessage-ID: <bench-%7@example.org>\nMIME-Version: 1.0\n"
                                        "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n%8\n")
                             .arg(date.toString(QStringLiteral("ddd MMM d HH:mm:ss yyyy")), address(i), address(i + 3),
                                  address(i + 11), QString::fromLatin1(subject.toUtf8().toBase64()),
                                  date.toString(Qt::RFC2822Date))
                             .arg(i)
                             .arg(body);
    return text.toUtf8();
}

bool makeArchive(const QString &cache, int count, const QString &tarnwick)
{
    if (QFileInfo::exists(cache + QStringLiteral("/done")))
        return true;
    QDir().mkpath(cache);
    QFile mbox(cache + QStringLiteral("/bench.mbox"));
    if (!mbox.open(QIODevice::WriteOnly))
        return false;
    for (int i = 0; i < count; ++i)
        mbox.write(message(i));
    mbox.close();
    std::fprintf(stderr, "archiving %d messages into %s (once; later runs reuse it)\n", count, qPrintable(cache));
    QTemporaryDir scratch;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), scratch.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("TMPDIR"), scratch.path());
    env.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(tarnwick, {QStringLiteral("archive"), QStringLiteral("--dest"), cache + QStringLiteral("/archive"),
                       mbox.fileName()});
    if (!p.waitForFinished(-1) || p.exitCode() != 0)
        return false;
    QFile done(cache + QStringLiteral("/done"));
    return done.open(QIODevice::WriteOnly);
}

struct Figures {
    double median = 0, p95 = 0;
};

Figures percentiles(QList<double> ms)
{
    std::sort(ms.begin(), ms.end());
    if (ms.isEmpty())
        return {};
    return {ms[ms.size() / 2], ms[std::min<qsizetype>(ms.size() - 1, qsizetype(ms.size() * 0.95))]};
}

qint64 folderSize(const QString &dir)
{
    qint64 total = 0;
    QDirIterator it(dir, QDir::Files | QDir::Hidden);
    while (it.hasNext()) {
        it.next();
        total += it.fileInfo().size();
    }
    return total;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int count = 10000;
    QString cache, tarnwick = QStringLiteral(TARNWICK_SOURCE_DIR "/build/tarnwick");
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--count"))
            count = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--cache"))
            cache = args[i + 1];
        else if (args[i] == QLatin1String("--tarnwick"))
            tarnwick = args[i + 1];
    }
    if (cache.isEmpty())
        cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
                QStringLiteral("/tarnwick-bench/search-%1").arg(count);
    if (count < 1 || !makeArchive(cache, count, tarnwick)) {
        std::fprintf(stderr, "search_bench: no archive in %s\n", qPrintable(cache));
        return 2;
    }
    const QString root = cache + QStringLiteral("/archive");

    QTemporaryDir scratch;
    const QString db = scratch.filePath(QStringLiteral("Tarnwick/index.sqlite"));
    ArchiveIndex index(db);
    QElapsedTimer clock;
    clock.start();
    const ArchiveIndex::UpdateStats first = index.update({root});
    const double firstS = double(clock.nsecsElapsed()) / 1e9;
    clock.restart();
    const ArchiveIndex::UpdateStats again = index.update({root});
    const double againS = double(clock.nsecsElapsed()) / 1e9;
    const qint64 pdfs = [&] {
        qint64 n = 0;
        QDirIterator it(root, {QStringLiteral("*.pdf")}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            ++n;
        }
        return n;
    }();

    // Subject words, addresses and text words, each asked through the index (what the view
    // does) and through the manual search (what it falls back on).
    QList<SearchQuery::Fields> queries;
    for (int i = 0; i < 10; ++i) {
        queries.append({kTopics[i], QString(), QString()});
        queries.append({QString(), address(i * 13), QString()});
        queries.append({QString(), QString(), kWords[(i * 5) % kWords.size()]});
    }
    queries.append({QString(), QString(), QStringLiteral("Kasespatzle")});
    queries.append({QString(), QString(), QStringLiteral("議事録")});
    queries.append({QStringLiteral("Invoice"), QString(), QStringLiteral("harvest")});
    QList<double> indexMs, manualMs;
    qint64 indexHits = 0, manualHits = 0;
    for (const SearchQuery::Fields &fields : queries) {
        ArchiveSearch::Request request;
        request.fields = fields;
        request.roots = {{QStringLiteral("bench"), root}};
        request.indexPath = db;
        clock.restart();
        indexHits += ArchiveSearch::run(request).items.size();
        indexMs.append(double(clock.nsecsElapsed()) / 1e6);
        clock.restart();
        manualHits += ArchiveSearch::runManualSearch(fields, {root}).size();
        manualMs.append(double(clock.nsecsElapsed()) / 1e6);
    }
    const Figures q = percentiles(indexMs), m = percentiles(manualMs);

    std::printf("archive: %lld files (%lld PDFs) from %d messages in %s\n", qint64(first.files), pdfs, count,
                qPrintable(root));
    std::printf("first index:        %8.2f s   %8.1f files/s   database %.1f MB (%.0f bytes per file)\n", firstS,
                double(first.files) / firstS, double(folderSize(QFileInfo(db).path())) / 1e6,
                double(folderSize(QFileInfo(db).path())) / double(std::max<qint64>(1, first.files)));
    std::printf("re-index, no change: %7.3f s   (%lld added, %lld changed: %.4f of the first run's time)\n", againS,
                qint64(again.added), qint64(again.changed), againS / firstS);
    std::printf("%lld queries               median      p95    hits\n", qint64(queries.size()));
    std::printf("  index query         %8.2f ms %8.2f ms %7lld\n", q.median, q.p95, indexHits);
    std::printf("  manual search       %8.2f ms %8.2f ms %7lld\n", m.median, m.p95, manualHits);
    std::printf("ratio manual / index:  median %.1fx, p95 %.1fx   (target: index p95 under 50 ms: %s)\n",
                m.median / std::max(q.median, 1e-3), m.p95 / std::max(q.p95, 1e-3), q.p95 < 50 ? "met" : "missed");
    return 0;
}
