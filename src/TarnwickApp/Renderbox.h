#pragma once
// The renderbox side of rendering: a child process of the front end that renders one
// message at a time from its private folder and reports each request's end.
//
// Process entry selects this mode when the arguments hold "--jsonArgs"; the JSON object
// after it names the renderbox ("renderboxID") and its folder ("renderboxFolder"), and
// nothing else is read from it.

#include <QObject>
#include <QString>
#include <QVariantMap>

#include <memory>

class LocalMessageToHTMLToPDF;

// The state of one renderbox: its name and folder, its engine, and the request in
// progress. It answers "rb_render_", "rb_quit_" and "rb_quit_all" for its name, checks
// every 0.1 s whether the request is done (then deletes the request files and posts
// "rb_done_" with the request name), and quits after 100 s without a request.
class RenderboxProcess : public QObject {
public:
    explicit RenderboxProcess(const QVariantMap &launchOptions, QObject *parent = nullptr);
    ~RenderboxProcess() override;
    void startListening();

private:
    void renderboxRender();
    void checkForCurrentRenderDone();
    void quitNow();

    QVariantMap m_options;
    QString m_renderboxID;
    QString m_renderboxFolder;
    std::unique_ptr<LocalMessageToHTMLToPDF> m_engine;
    bool m_gotJob = false;
    bool m_quitting = false;
    int m_idleTicks = 0;
    QString m_jsonPath;
    QString m_emlPath;
    QString m_pathToAttachments;
    QString m_currentFile;
};

namespace Renderbox {

// The JSON argument after "--jsonArgs" in argv, or a null string when there is none.
QString jsonArgument(int argc, char **argv);

// Runs the renderbox: the widget application with an offscreen platform, listening
// until told to quit, idle for too long, or orphaned. Returns the exit status.
int run(int argc, char **argv, const QString &jsonArgument);

// The first job file ("*.json") of the renderbox folder, or a null string.
QString findNextJob(const QString &folder);

} // namespace Renderbox
