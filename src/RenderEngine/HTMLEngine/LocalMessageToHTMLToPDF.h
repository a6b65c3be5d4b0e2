#pragma once
// LocalMessageToHTMLToPDF: the renderer in local mode, as a renderbox (or `tarnwick
// render`) runs it. It lays each message out in an offscreen Qt WebEngine view, waits
// until the page has loaded (checked every 0.8 s, reloaded once after 40 s, given up after
// 300 s), prints it to a temporary PDF beside its destination and moves it into place,
// falls back to one tall page and then to the emergency .eml copy, and writes the PDF's
// document information, tags, identity and the .eml copy. Everything else (which outputs
// a message gets, attachments, the end of a message) is MessageToHTMLToPDF's.

#include "RenderEngine/MessageToHTMLToPDF.h"

#include <QSizeF>

#include <functional>

class MCOMessageView;
class MCTMsgViewController;
class QTimer;

class LocalMessageToHTMLToPDF : public MessageToHTMLToPDF {
    Q_OBJECT
public:
    // Sets up this process for the HTML engine (offscreen platform, engine flags, the
    // message schemes): before the application object is made.
    static void prepareProcess();

    explicit LocalMessageToHTMLToPDF(const JobOptions &options, QObject *parent = nullptr);
    ~LocalMessageToHTMLToPDF() override;

    // Builds the offscreen window with the message view. Needs a QApplication.
    void setUpLocalRendering();
    void shutdown() override;

    // Thumbnail of a file (first page of a PDF, an image) as PNG bytes within 400 x 600,
    // or nothing.
    static std::optional<QByteArray> getImageData(const QString &path);

protected:
    void proceedToRenderMessage(const std::shared_ptr<MCOMessageParser> &message, const QString &mainFolder,
                                const QString &mailFolder, MCOIMAPSession *session,
                                const QString &mailappAttachments) override;
    void stopLocalWork() override;
    bool localWorkPending() const override;
    std::optional<QByteArray> imageDataOfFile(const QString &path) override;

private:
    void timerCheckForDone();
    void checkWhenSettled();
    void reloadWebView();
    void createPDFNowThatHTMLIsReady();
    void startPrintingWebViewToPDF(const QString &path);
    void startRenderNSViewToPDF(const QString &path, bool paginate);
    void printWithoutPageBreaks(const QString &path, std::function<void()> then);
    void printingToPDFComplete();
    void finishAfterFallbackPrint();
    void gaveUpOnRenderOrPrinting();
    double secondsSinceStartedRender() const;

    MCOMessageView *m_window = nullptr;
    MCTMsgViewController *m_viewController = nullptr; // child of this
    QTimer *m_renderCheckTimer = nullptr;
    QTimer *m_absoluteCut = nullptr;
    qint64 m_renderStartMs = 0;
    qint64 m_reloadCount = 0;
    quint64 m_generation = 0; // tells callbacks of an earlier message to stand down
    bool m_checkInFlight = false;
    QString m_printingToPath;
    QString m_printingToPathTemp;
    QSizeF m_documentSize;
};
