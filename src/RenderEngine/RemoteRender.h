#pragma once
// RemoteRender: the parent-side handle of one renderbox, the child process that renders
// one message at a time for one render engine.
//
// The handle starts the child (this executable with "--jsonArgs") on first use, hands it
// each message as two files in the handle's private folder and a "rb_render_"
// notification, learns the end of the request from "rb_done_<renderboxID>", replaces the
// child after 31 requests or 3000 seconds, and writes the emergency .eml copy of a
// message whose child died on it. Everything runs on the main thread; the waits around
// launching and quitting are timers, never blocking pauses.

#include "RenderEngine/JobOptions.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <optional>

class QProcess;
class QTimer;

class RemoteRender : public QObject {
    Q_OBJECT
signals:
    // The renderbox reported the end of the current request ("rb_done_").
    void requestDone();

public:
    // Makes the ID and the private folder (mode 0700); starts no child yet.
    explicit RemoteRender(const JobOptions &options, QObject *parent = nullptr);
    // Quits the child and removes the folder with whatever request files are left.
    ~RemoteRender() override;

    // Sends one request: writes the message file and job file and tells the child.
    // Returns true.
    bool renderPDF(const QByteArray &messageData, const QString &mainFolder, const QString &mailFolder,
                   const JobOptions &options, const QString &jobName, const QString &mailappAttachments);
    // Whether the request is still outstanding (false once the child is seen ended).
    bool busyWorkingOnRender();
    // Whether the last request died with its child; then writes the message's emergency
    // .eml copy, once per request.
    bool failed();
    // Stops the child, if any: "rb_quit_", then terminate after 0.1 s, kill 0.3 s later.
    void quitRenderbox();

    QString renderboxID() const { return m_renderboxID; }
    QString renderboxFolder() const { return m_renderboxFolder; }
    QString currentFile() const { return m_currentFile; }
    int renderCountOnCurrentTask() const { return m_renderCountOnCurrentTask; }
    // Process ID of the current child, 0 when none runs.
    qint64 childProcessId() const;
    QString messageFilePath() const;
    QString jobFilePath() const;

    // The two arguments after the program name: "--jsonArgs" and a JSON object with
    // "renderboxID" and "renderboxFolder" only. Nothing else of the job (least of all a
    // password or token) goes on a command line, where every local user can read it.
    static QStringList launchArguments(const QString &renderboxID, const QString &renderboxFolder);
    // The job file content for one request: the options with the request's keys added
    // (each only when non-empty) and the secrets ("password", "access_token") removed.
    static QVariantMap jobFileContent(const JobOptions &options, const QString &jobName, const QString &mainFolder,
                                      const QString &mailFolder, const QString &emlPath,
                                      const QString &mailappAttachments, const QString &currentFile);

    // The executable started as renderbox; by default this program itself.
    static void setRenderboxProgram(const QString &path);
    static QString renderboxProgram();
    // Renderbox processes started by any handle of this process and not yet ended.
    static int liveRenderboxCount();
    // Requests a child serves before it is replaced (31); lowered by tests.
    static void setMaxRequestsPerChild(int count);

    // --- JSON, shared with the renderbox side ------------------------------------------
    static QString jsonStringWithPrettyPrint(const QVariantMap &object);
    static QVariantMap dictFromJSONString(const QString &text);
    static bool dictToJSONFile(const QVariantMap &object, const QString &path);
    // Missing or empty file: an empty dictionary; unparseable: nothing.
    static std::optional<QVariantMap> dictFromJSONFile(const QString &path);
    // Deletes every "*.json" entry of the folder; how many there were.
    static int removeJSONFromFolder(const QString &folder);

private:
    void launchRenderbox();
    void refreshTaskTerminated();
    void renderboxDone(const QString &name, const QString &object);
    void postRenderRequest(const QString &requestName);

    JobOptions m_options;
    QString m_renderboxID;
    QString m_renderboxFolder;
    QPointer<QProcess> m_task;
    QPointer<QProcess> m_quittingTask; // the last child told to quit, until it has ended
    bool m_taskTerminated = true;
    QTimer *m_taskTerminatedChecker = nullptr;
    QTimer *m_maxTaskTimer = nullptr;
    qint64 m_launchedAtMs = 0;
    int m_renderCountOnCurrentTask = 0;
    QString m_currentFile;
    bool m_busyWorking = false;
    bool m_failHandled = false;
    int m_doneObserver = 0;
    QStringList m_renderedFiles;
    QStringList m_renderedFilesWorked;
    QString m_lastEnd; // how the last child ended, for the log
};
