// The render pipeline through the real HTML engine (offscreen).

#include "RenderEngine/HTMLEngine/MCOMessageView.h"
#include "RenderEngine/HTMLEngine/MCTMsgViewController.h"
#include "RenderEngine/HTMLEngine/LocalMessageToHTMLToPDF.h"
#include "TestSupport.h"
#include "Utils/Log.h"
#include "mailadapter/MCOMessageParser.h"

#include <QBuffer>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QPdfWriter>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

namespace {

using TestSupport::readAll;


QString pdfText(const QString &pdf)
{
    QProcess p;
    p.start("pdftotext", {"-enc", "UTF-8", pdf, "-"});
    p.waitForFinished(60000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

struct Rendered {
    QString pdf;
    bool failed = false;
    QStringList log;
};

// Renders one message the way a renderbox does and waits until the renderer is idle.
Rendered render(const QByteArray &raw, const QString &dest, JobOptions extra = {})
{
    JobOptions options{{JobKey::destFolder, dest},
                       {JobKey::pdfFormat, "%Y/__subject__.pdf"},
                       {JobKey::attachmentFormat, "%Y/__subject__ (attachments)/__filename__"},
                       {JobKey::emlFormat, ""}};
    for (auto it = extra.cbegin(); it != extra.cend(); ++it)
        options[it.key()] = it.value();
    LocalMessageToHTMLToPDF renderer(options);
    Log::captureStart();
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (!renderer.busyDoingSomething())
            loop.quit();
    });
    renderer.renderSingleEMLMessage(raw, "Mail", "INBOX", "job", QString());
    if (renderer.busyDoingSomething()) {
        poll.start(100);
        QTimer::singleShot(120000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    Rendered r;
    r.log = Log::captureTake();
    bool retry = false;
    r.failed = renderer.getAndClearFailedMessage(&retry).has_value();
    auto message = MCOMessageParser::messageParserWithData(raw);
    r.pdf = MessageToHTMLToPDF::destinationPath(*message, "Mail", "INBOX", JobKey::pdfFormat, QString(), options);
    renderer.shutdown();
    return r;
}

QByteArray htmlMessage(const QString &subject, const QString &html)
{
    return "From: Anna <anna@example.org>\nTo: John <john@example.net>\nSubject: " + subject.toUtf8() +
           "\nDate: Sat, 18 Jan 2014 08:16:20 +0000\nMIME-Version: 1.0\n"
           "Content-Type: text/html; charset=utf-8\n\n" + html.toUtf8() + "\n";
}

TEST(RenderPipeline, PlainMessageBecomesAGoodPdfAndASecondRunSkipsIt)
{
    QTemporaryDir dest;
    const QByteArray raw = readAll(QString(TARNWICK_SOURCE_DIR) + "/samples/mailbox/2014-quarterly-report.eml");
    const Rendered first = render(raw, dest.path());
    ASSERT_TRUE(MessageToHTMLToPDF::pdfFilelooksOK(first.pdf)) << first.log.join('\n').toStdString();
    EXPECT_FALSE(first.failed);
    EXPECT_TRUE(first.log.contains("notification rb_anotherPDFMade job"));
    const QString text = pdfText(first.pdf);
    EXPECT_TRUE(text.contains(QString::fromUtf8("Grüße aus München"))) << text.toStdString();
    EXPECT_TRUE(text.contains("Tarnwick-Version")) << "tiny header footer";
    EXPECT_EQ(QFileInfo(first.pdf).lastModified().toUTC(), QDateTime(QDate(2014, 1, 18), QTime(8, 16, 20), Qt::UTC));

    const QDateTime before = QFileInfo(first.pdf).lastModified();
    const Rendered second = render(raw, dest.path());
    EXPECT_FALSE(second.log.contains("notification rb_anotherPDFMade job"));
    EXPECT_EQ(QFileInfo(second.pdf).lastModified(), before);
}

TEST(RenderPipeline, PageScriptsNeverRunAndLocalFilesNeverLoad)
{
    QTemporaryDir dest;
    QFile secret(dest.filePath("secret.txt"));
    ASSERT_TRUE(secret.open(QIODevice::WriteOnly));
    secret.write("TOPSECRETFILE");
    secret.close();
    const QString body = "<p>" + QString("Visible body text. ").repeated(30) + "</p>"
                         "<script>document.body.innerHTML = 'SCRIPTRAN';</script>"
                         "<iframe src=\"file://" + secret.fileName() + "\"></iframe>"
                         "<img src=\"file:///etc/hostname\"><img src=\"qrc:/x.png\">";
    const Rendered r = render(htmlMessage("scripts", body), dest.path(), {{JobKey::tinyHeaders, false}});
    ASSERT_TRUE(MessageToHTMLToPDF::pdfFilelooksOK(r.pdf)) << r.log.join('\n').toStdString();
    const QString text = pdfText(r.pdf);
    EXPECT_TRUE(text.contains("Visible body text."));
    EXPECT_FALSE(text.contains("SCRIPTRAN"));
    EXPECT_FALSE(text.contains("TOPSECRETFILE"));
    EXPECT_FALSE(text.contains("Tarnwick-Version")) << "tiny headers off";
}

TEST(RenderPipeline, HugePagesStillLoad)
{
    QTemporaryDir dest;
    // Over the engine's 2 MB limit for pages handed over as a string.
    // Hidden filler keeps the print short; the page must still load whole.
    const QString body = "<p>START " + QString("visible text ").repeated(30) + "</p><div style=\"display:none\">" +
                         QString("<p>filler paragraph of a very long newsletter</p>").repeated(60000) +
                         "</div><p>THEEND</p>";
    ASSERT_GT(body.size(), 2'500'000);
    const Rendered r = render(htmlMessage("huge", body), dest.path());
    ASSERT_TRUE(MessageToHTMLToPDF::pdfFilelooksOK(r.pdf)) << r.log.join('\n').toStdString();
    EXPECT_TRUE(pdfText(r.pdf).contains("THEEND"));
}

TEST(RenderPipeline, UnwritableDestinationFailsTheMessage)
{
    QTemporaryDir dest;
    QFile blocker(dest.filePath("Mail"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const Rendered r = render(htmlMessage("blocked", QString("<p>text</p>").repeated(100)), dest.path());
    EXPECT_TRUE(r.failed);
    EXPECT_FALSE(QFileInfo::exists(r.pdf));
    EXPECT_TRUE(r.log.filter("Created eml file as it proved impossible to render").size() == 1)
        << r.log.join('\n').toStdString();
}

TEST(RenderPipelineFixtures, CjkTextIsInThePdf)
{
    REQUIRE_FIXTURES();
    QDirIterator it(TestSupport::fixturesDir() + "/eml/cjk", {"*.eml"}, QDir::Files);
    int checked = 0;
    while (it.hasNext()) {
        const QString file = it.next();
        const QByteArray raw = readAll(file);
        auto message = MCOMessageParser::messageParserWithData(raw);
        const QString subject = message->header().subject();
        if (subject.isEmpty())
            continue;
        QTemporaryDir dest;
        const Rendered r = render(raw, dest.path());
        ASSERT_TRUE(MessageToHTMLToPDF::pdfFilelooksOK(r.pdf)) << file.toStdString();
        // pdftotext may break lines anywhere: compare without white space.
        QString text = pdfText(r.pdf);
        text.remove(QRegularExpression("\\s"));
        QString wanted = subject;
        wanted.remove(QRegularExpression("\\s"));
        EXPECT_TRUE(text.contains(wanted.left(12))) << file.toStdString() << ": " << subject.toStdString();
        ++checked;
    }
    EXPECT_GT(checked, 0);
}

TEST(MessageView, RequestPolicy)
{
    MCOMessageView view;
    struct Row {
        const char *url;
        bool allowed;
        bool redirected;
    };
    const Row rows[] = {
        {"cid:part1@example.org", true, false},
        {"x-mailcore-image:3?size=2", true, false},
        {"data:image/png;base64,AAAA", true, false},
        {"about:blank", true, false},
        {"https://example.org/logo.PNG", true, true},
        {"http://example.org/a.jpg", true, true},
        {"https://example.org/style.css", false, false},
        {"https://example.org/pixel.png?track=1", false, false},
        {"file:///etc/passwd", false, false},
        {"qrc:/icon.png", false, false},
        {"chrome://settings", false, false},
        {"javascript:alert(1)", false, false},
        {"ftp://example.org/a.png", false, false},
        // Remote images addressed through the fetching scheme by the composition: the
        // same policy for the web address inside.
        {"x-tarnwick-remote:https://example.org/logo.png", true, false},
        {"x-tarnwick-remote:https://example.org/style.css", false, false},
        {"x-tarnwick-remote:file:///etc/passwd.png", false, false},
    };
    for (const Row &row : rows) {
        QUrl url(QString::fromLatin1(row.url));
        bool redirected = false;
        EXPECT_EQ(view.allowRequest(url, redirected), row.allowed) << row.url;
        EXPECT_EQ(redirected, row.redirected) << row.url;
    }
    // Only cid parts and the remote images let through wait for completion.
    EXPECT_TRUE(view.stillDownloadingResources());
    view.resetDownloadingStuff();
    EXPECT_FALSE(view.stillDownloadingResources());
}

TEST(MessageView, ThumbnailsOfImagesAndPdfs)
{
    QImage big(1200, 800, QImage::Format_RGB32);
    big.fill(Qt::darkCyan);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    big.save(&buffer, "PNG");

    QByteArray pdf;
    {
        QBuffer out(&pdf);
        out.open(QIODevice::WriteOnly);
        QPdfWriter writer(&out);
        writer.setPageSize(QPageSize(QPageSize::A4));
        QPainter p(&writer);
        p.drawText(100, 100, "first page");
    }
    struct Row {
        QByteArray data;
        bool inlineImage;
        int maxWidth, maxHeight;
    };
    const Row rows[] = {{png, false, 600, 600}, {pdf, false, 400, 600}};
    for (const Row &row : rows) {
        const auto preview = MCTMsgViewController::previewForData(row.data, row.inlineImage);
        ASSERT_TRUE(preview);
        QImage image;
        ASSERT_TRUE(image.loadFromData(*preview, "JPEG"));
        EXPECT_LE(image.width(), row.maxWidth);
        EXPECT_LE(image.height(), row.maxHeight);
        EXPECT_GT(image.width(), 100);
    }
    EXPECT_EQ(MCTMsgViewController::previewForData(png, true), png) << "inline images keep their bytes";
    EXPECT_FALSE(MCTMsgViewController::previewForData(QByteArray(500, 'x'), false)) << "undecodable";
}

} // namespace

// A print file left by a renderbox that was killed goes when a later render prints into
// its folder; one that may still be in use stays.
TEST(RenderPipeline, AbandonedPrintFilesAreSweptRecentOnesKept)
{
    QTemporaryDir dest;
    const QByteArray raw = readAll(QString(TARNWICK_SOURCE_DIR) + "/samples/mailbox/2014-quarterly-report.eml");
    auto message = MCOMessageParser::messageParserWithData(raw);
    const JobOptions options{{JobKey::destFolder, dest.path()}, {JobKey::pdfFormat, "%Y/__subject__.pdf"}};
    const QString folder = QFileInfo(MessageToHTMLToPDF::destinationPath(*message, "Mail", "INBOX", JobKey::pdfFormat,
                                                                         QString(), options)).path();
    const QString stale = folder + "/.tarnwick-print-1.pdf";
    const QString recent = folder + "/.tarnwick-print-2.pdf";
    for (const QString &path : {stale, recent}) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("partial");
    }
    QFile old(stale);
    ASSERT_TRUE(old.open(QIODevice::ReadWrite));
    old.setFileTime(QDateTime::currentDateTime().addDays(-1), QFileDevice::FileModificationTime);
    old.close();
    const Rendered r = render(raw, dest.path());
    ASSERT_TRUE(MessageToHTMLToPDF::pdfFilelooksOK(r.pdf)) << r.log.join('\n').toStdString();
    EXPECT_FALSE(QFileInfo::exists(stale));
    EXPECT_TRUE(QFileInfo::exists(recent));
    EXPECT_EQ(QDir(folder).entryList({".tarnwick-print-*"}, QDir::Files | QDir::Hidden), QStringList{".tarnwick-print-2.pdf"});
}

namespace {

// An HTTP server on loopback that answers every request for an image after `delayMs`.
class SlowImageServer : public QObject {
public:
    explicit SlowImageServer(int delayMs) : m_delayMs(delayMs)
    {
        QImage image(64, 64, QImage::Format_RGB32);
        image.fill(Qt::darkBlue);
        QBuffer buffer(&m_png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                socket->setParent(this);
                QTimer::singleShot(m_delayMs, socket, [this, socket] {
                    socket->write("HTTP/1.0 200 OK\r\nContent-Type: image/png\r\nContent-Length: " +
                                  QByteArray::number(m_png.size()) + "\r\nConnection: close\r\n\r\n" + m_png);
                    socket->disconnectFromHost();
                    ++m_served;
                    m_servedAfterMs = m_clock.elapsed();
                });
            }
        });
        m_server.listen(QHostAddress::LocalHost);
        m_clock.start();
    }
    quint16 port() const { return m_server.serverPort(); }
    int served() const { return m_served; }
    qint64 servedAfterMs() const { return m_servedAfterMs; }

private:
    QTcpServer m_server;
    QByteArray m_png;
    QElapsedTimer m_clock;
    int m_delayMs;
    int m_served = 0;
    qint64 m_servedAfterMs = -1;
};

int imagesIn(const QString &pdf)
{
    QProcess p;
    p.start("pdfimages", {"-list", pdf});
    p.waitForFinished(60000);
    // Two header lines, then one line per image.
    return qMax(0, int(QString::fromUtf8(p.readAllStandardOutput()).trimmed().split('\n').size()) - 2);
}

} // namespace

// The page is printed as soon as it is ready, but never before its first second is over,
// and a remote image that takes its time is waited for.
TEST(RenderPipeline, ReadinessWaitsForTheFirstSecondAndForSlowImages)
{
    SlowImageServer server(2500);
    ASSERT_NE(server.port(), 0);
    struct Row {
        QString html;
        qint64 atLeastMs;
        int images;
    };
    const Row rows[] = {
        {QStringLiteral("<p>%1</p>").arg(QString("Nothing to wait for. ").repeated(20)), 1000, 0},
        {QStringLiteral("<p>%1</p><img src=\"http://127.0.0.1:%2/slow.png\">")
             .arg(QString("A picture from far away. ").repeated(20))
             .arg(server.port()),
         2500, 1},
    };
    for (const Row &row : rows) {
        QTemporaryDir dest;
        QElapsedTimer clock;
        clock.start();
        const Rendered r = render(htmlMessage("Readiness", row.html), dest.path());
        const qint64 took = clock.elapsed();
        ASSERT_TRUE(MessageToHTMLToPDF::pdfFilelooksOK(r.pdf)) << r.log.join('\n').toStdString();
        EXPECT_GE(took, row.atLeastMs);
        EXPECT_EQ(imagesIn(r.pdf), row.images) << r.log.join('\n').toStdString();
    }
    EXPECT_EQ(server.served(), 1);
}
