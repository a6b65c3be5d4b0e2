#include "TestSupport.h"

#ifdef TARNWICK_RENDER_TESTS
#include "RenderEngine/HTMLEngine/LocalMessageToHTMLToPDF.h"
#include "Utils/PrivateSessionBus.h"
#include <QApplication>
#elif defined(TARNWICK_WIDGET_TESTS)
#include <QApplication>
#endif

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <ctime>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace TestSupport {

QString fixturesDir()
{
    const QString env = qEnvironmentVariable("TARNWICK_FIXTURES");
    const QString dir = env.isEmpty()
        ? QStringLiteral(TARNWICK_SOURCE_DIR "/../shared/corpora/dev-fixtures")
        : env;
    return QFileInfo(dir + QStringLiteral("/MANIFEST.tsv")).exists() ? QDir(dir).absolutePath() : QString();
}

QString dataDir() { return QStringLiteral(TARNWICK_SOURCE_DIR "/tests/data"); }

QString tarnwickBinary() { return QStringLiteral(TARNWICK_BINARY); }

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    ASSERT_EQ(f.write(bytes), bytes.size()) << path.toStdString();
}

bool spinUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    return done();
}

} // namespace TestSupport

// Every test runs with a private preference store and cache and the UTC zone, so that neither the
// developer's settings nor the machine's zone leak into expectations.
int main(int argc, char **argv)
{
    static QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    // The search index and thumbnails of the windows under test stay out of the user's cache.
    static QTemporaryDir cache;
    qputenv("XDG_CACHE_HOME", cache.path().toUtf8());
    qputenv("TZ", "UTC");
    tzset();
#ifdef TARNWICK_RENDER_TESTS
    LocalMessageToHTMLToPDF::prepareProcess();
    QApplication app(argc, argv);
    // Renderboxes started by the tests talk to this process over a bus of its own.
    PrivateSessionBus bus;
    QString busError;
    if (!bus.start(&busError))
        qWarning("no private D-Bus bus for the tests: %s", qPrintable(busError));
#elif defined(TARNWICK_WIDGET_TESTS)
    // Real windows, drawn offscreen: no display is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
#else
    QCoreApplication app(argc, argv);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
