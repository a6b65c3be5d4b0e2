// Parse-plus-path throughput: how fast the archive can decide where every message of
// a source goes, which is what the skip of already-archived messages costs per message.
//
// Three measurements over the same messages, side by side in one run:
//   BM_ParseOnly       the mail adapter's parse alone
//   BM_ParsePlusPaths  parse, date repair and the PDF, .eml and attachment paths
// Messages come from ../shared/corpora/dev-fixtures when present, else from samples/.
// Rates are reported as messages per second ("items_per_second"); bench/run.sh measures
// Python's email library on the same messages as the baseline and prints the ratios.

#include "CustomPaths/CustomPath.h"
#include "RenderEngine/MessageToHTMLToPDF.h"
#include "mailadapter/MCOMessageParser.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

const QList<QByteArray> &messages()
{
    static const QList<QByteArray> all = [] {
        QList<QByteArray> out;
        QStringList roots = {QStringLiteral(TARNWICK_SOURCE_DIR "/../shared/corpora/dev-fixtures/eml"),
                             QStringLiteral(TARNWICK_SOURCE_DIR "/../shared/corpora/dev-fixtures/mime4j"),
                             QStringLiteral(TARNWICK_SOURCE_DIR "/samples")};
        for (const QString &root : roots) {
            QDirIterator it(root, {QStringLiteral("*.eml"), QStringLiteral("*.msg")}, QDir::Files,
                            QDirIterator::Subdirectories);
            while (it.hasNext()) {
                QFile f(it.next());
                if (f.open(QIODevice::ReadOnly))
                    out.append(f.readAll());
            }
        }
        return out;
    }();
    return all;
}

JobOptions benchOptions(const QString &dest)
{
    return {{JobKey::destFolder, dest},
            {JobKey::pdfFormat, CustomPath::defaultFormat(QStringLiteral("pdf"))},
            {JobKey::attachmentFormat, CustomPath::defaultFormat(QStringLiteral("attachment"))},
            {JobKey::emlFormat, QStringLiteral("%Y/%m/%Y-%m-%d %H.%M.%S  __subject__.eml")}};
}

void BM_ParseOnly(benchmark::State &state)
{
    const auto &all = messages();
    qsizetype i = 0;
    for (auto _ : state) {
        auto parser = MCOMessageParser::messageParserWithData(all[i++ % all.size()]);
        benchmark::DoNotOptimize(parser.get());
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_ParsePlusPaths(benchmark::State &state)
{
    const auto &all = messages();
    QTemporaryDir dest;
    const JobOptions options = benchOptions(dest.path());
    qsizetype i = 0;
    for (auto _ : state) {
        auto parser = MCOMessageParser::messageParserWithData(all[i++ % all.size()]);
        using FC = MessageToHTMLToPDF::FolderCreation;
        QString pdf = MessageToHTMLToPDF::destinationPath(*parser, QStringLiteral("Mail"), QStringLiteral("INBOX"),
                                                          JobKey::pdfFormat, QString(), options, FC::No);
        QString eml = MessageToHTMLToPDF::destinationPath(*parser, QStringLiteral("Mail"), QStringLiteral("INBOX"),
                                                          JobKey::emlFormat, QString(), options, FC::No);
        for (const QString &name : MessageToHTMLToPDF::attachmentFileNames(*parser)) {
            QString a = MessageToHTMLToPDF::destinationPath(*parser, QStringLiteral("Mail"), QStringLiteral("INBOX"),
                                                            JobKey::attachmentFormat, name, options, FC::No);
            benchmark::DoNotOptimize(a.data());
        }
        benchmark::DoNotOptimize(pdf.data());
        benchmark::DoNotOptimize(eml.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["messages"] = double(all.size());
}

BENCHMARK(BM_ParseOnly);
BENCHMARK(BM_ParsePlusPaths);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
