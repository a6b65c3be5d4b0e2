#pragma once
// MCOIMAPSession: one IMAP account's connection, and the operations the archiver needs of
// it (folders, folder information, headers and body structure by message number, one raw
// message by UID, one part by UID and section). The server is only read: mailboxes are
// opened with EXAMINE and bodies fetched with BODY.PEEK, so no flag ever changes.
//
// Threads. The session lives on the thread that made it (the main thread). Its network
// work runs on one worker thread of its own, one operation after another, over one
// connection made on first use and made again after a failure. Each operation's
// completion handler runs once, on the main thread; `cancel()` drops it (the network
// call in progress ends on its own, its result is thrown away). Destroying the session
// cuts the connection and lets the worker end without waiting for it.
//
// Certificates. TLS certificates are not checked against a list of authorities first:
// mail servers with self-signed certificates are common. Instead the certificate is
// pinned: its SHA-256 fingerprint is compared with the one stored for the account
// (`setPinnedCertificateSHA256`). A certificate that verifies against the system's trust
// store for the host name is always accepted; with no pin stored the first certificate
// seen is accepted (unless `trustFirstCertificate` is off, then it is refused as new);
// otherwise a different certificate is refused before the password is sent, with an
// error naming both fingerprints. `certificateAccepted` tells the owner
// which fingerprint to store. Plain connections are made only when asked for, with a
// warning in the log.
//
// Secrets. The password and the OAuth2 token go to the server and nowhere else: libetpan's
// protocol log stays off, and no error text carries them.

#include "mailadapter/MCOAbstractPart.h"

#include <QList>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class MCOIMAPMessage;
class MCOIMAPConnection;
class QThread;

// What went wrong with an operation. `code` is ErrorNone on success.
struct MCOIMAPError {
    enum Code {
        ErrorNone = 0,
        ErrorConnection = 1,         // cannot connect, or the connection broke
        ErrorTLSNotAvailable = 2,    // STARTTLS refused
        ErrorParse = 3,              // the server's answer could not be read
        ErrorCertificate = 4,        // no certificate, or not the pinned one
        ErrorAuthentication = 5,     // LOGIN / AUTHENTICATE refused
        ErrorFetch = 6,              // FETCH refused
        ErrorNonExistentFolder = 7,  // EXAMINE refused
        ErrorNoSuchMessage = 8,      // the message or part is gone
    };
    Code code = ErrorNone;
    // One line for the user (status text, command line), with the server's own words
    // when it gave any.
    QString description;
    // For ErrorCertificate: the fingerprints seen and stored (hex, colon-separated).
    QString seenSHA256, pinnedSHA256;

    bool isError() const { return code != ErrorNone; }
    QString localizedDescription() const { return description; }
};

// A mailbox as LIST names it: its path in the server's own spelling (modified UTF-7,
// with the server's hierarchy delimiter), for every command and for the settings.
struct MCOIMAPFolder {
    QString path;
    QChar delimiter; // null when the server has a flat namespace
    QStringList flags; // "\\Noselect", "\\HasChildren", ... as the server spelled them
    // False for names that exist only as the parents of a hierarchy (\Noselect,
    // \NonExistent): nothing can be opened there.
    bool isSelectable() const;
};

struct MCOIMAPFolderInfo {
    quint32 messageCount = 0;
    quint32 uidValidity = 0;
    quint32 uidNext = 0;
};

// The result of one operation; which fields are filled depends on the operation.
struct MCOIMAPResult {
    MCOIMAPError error;
    QList<MCOIMAPFolder> folders;
    MCOIMAPFolderInfo info;
    QList<std::shared_ptr<MCOIMAPMessage>> messages;
    QByteArray data;
};

class MCOIMAPSession;

// One operation: made by the session, started once, deleted after its handler ran (or
// after cancel). Hold it in a QPointer.
class MCOIMAPOperation : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<void(const MCOIMAPResult &)>;
    using Work = std::function<MCOIMAPResult(MCOIMAPConnection &)>;

    // Queues the work on the session's worker; `handler` runs once, on this object's
    // thread, unless cancel() came first.
    void start(Handler handler);
    // The handler will not run; the operation deletes itself.
    void cancel();

private:
    friend class MCOIMAPSession;
    MCOIMAPOperation(MCOIMAPSession *session, Work work);
    void deliver(const MCOIMAPResult &result);

    QPointer<MCOIMAPSession> m_session;
    Work m_work;
    Handler m_handler;
    bool m_started = false;
    bool m_cancelled = false;
};

class MCOIMAPSession : public QObject {
    Q_OBJECT
public:
    enum ConnectionType { ConnectionTypeClear = 1, ConnectionTypeStartTLS = 2, ConnectionTypeTLS = 4 };
    enum AuthType { AuthTypeSASLLogin = 0, AuthTypeXOAuth2 = 1 };

    // Everything a connection needs; copied to the worker for each connection.
    struct Settings {
        QString hostname;
        int port = 993;
        QString username;
        QString password;
        QString oauth2Token;
        AuthType authType = AuthTypeSASLLogin;
        ConnectionType connectionType = ConnectionTypeTLS;
        QString pinnedCertificateSHA256;
        // With no pin stored: whether the first certificate seen is accepted (jobs and
        // the command line) or refused unless it verifies for the host, so that the
        // account settings can show its fingerprint before any password is sent.
        bool trustFirstCertificate = true;
        int timeoutSecs = 60;
    };

    explicit MCOIMAPSession(QObject *parent = nullptr);
    ~MCOIMAPSession() override;

    void setHostname(const QString &host) { withSettings([&](Settings &s) { s.hostname = host; }); }
    void setPort(int port) { withSettings([&](Settings &s) { s.port = port; }); }
    void setUsername(const QString &user) { withSettings([&](Settings &s) { s.username = user; }); }
    void setPassword(const QString &password) { withSettings([&](Settings &s) { s.password = password; }); }
    void setAuthType(AuthType type) { withSettings([&](Settings &s) { s.authType = type; }); }
    // The token is read when the next connection logs in.
    void setOAuth2Token(const QString &token) { withSettings([&](Settings &s) { s.oauth2Token = token; }); }
    void setConnectionType(ConnectionType type) { withSettings([&](Settings &s) { s.connectionType = type; }); }
    void setPinnedCertificateSHA256(const QString &hex) { withSettings([&](Settings &s) { s.pinnedCertificateSHA256 = hex; }); }
    void setTrustFirstCertificate(bool trust) { withSettings([&](Settings &s) { s.trustFirstCertificate = trust; }); }
    // Network timeout of every connect, read and write.
    void setTimeout(int seconds) { withSettings([&](Settings &s) { s.timeoutSecs = seconds; }); }
    Settings settings() const;
    QString hostname() const { return settings().hostname; }
    QString username() const { return settings().username; }
    QString OAuth2Token() const { return settings().oauth2Token; }

    // The next operation opens a new connection (the current one is closed first).
    void disconnectOperation();

    MCOIMAPOperation *fetchAllFoldersOperation();
    MCOIMAPOperation *folderInfoOperation(const QString &folder);
    // Messages with numbers `first` through `last` (clamped to the mailbox's size):
    // UID, size, the whole header and the body structure.
    MCOIMAPOperation *fetchMessagesByNumberOperation(const QString &folder, quint32 first, quint32 last);
    // The whole raw message (RFC 822 bytes) with this UID.
    MCOIMAPOperation *fetchMessageOperation(const QString &folder, quint32 uid);
    // One part's bytes, with its transfer encoding undone.
    MCOIMAPOperation *fetchMessageAttachmentOperation(const QString &folder, quint32 uid, const QString &partID,
                                                      MCOAbstractPart::Encoding encoding);
    // Connects and logs in, nothing else: the account settings' credentials test.
    MCOIMAPOperation *checkAccountOperation();
    // Connects without logging in and returns the server certificate's fingerprint as
    // `data` (Latin-1 text): what the user is shown before trusting a new certificate.
    MCOIMAPOperation *fetchCertificateOperation();

    // The SHA-256 fingerprint of a DER certificate as upper-case hex pairs joined by ":".
    static QString fingerprintOf(const QByteArray &der);

signals:
    // A TLS certificate was accepted whose fingerprint differs from the pinned one (none
    // pinned yet, or one that verifies for the host): the owner stores it with the
    // account. The session pins it for its next connections already.
    void certificateAccepted(const QString &sha256, bool verifiedForHost);

private:
    friend class MCOIMAPOperation;
    void enqueue(MCOIMAPOperation *operation);
    void withSettings(const std::function<void(Settings &)> &change);
    MCOIMAPOperation *makeOperation(MCOIMAPOperation::Work work);

    struct Shared;
    std::shared_ptr<Shared> m_shared; // with the worker
    QThread *m_thread = nullptr;      // ends and deletes itself after the session
    QObject *m_worker = nullptr;      // lives on m_thread
};
