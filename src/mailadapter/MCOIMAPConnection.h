#pragma once
// MCOIMAPConnection: the blocking side of an MCOIMAPSession, over libetpan's mailimap.
// Lives on the session's worker thread and nowhere else; every call may wait on the
// network for up to the session's timeout. After any failure of the connection itself
// (stream, parse, protocol) it is closed, so that the next call starts a new one.

#include "mailadapter/MCOIMAPSession.h"

#include <atomic>
#include <functional>

struct mailimap;

class MCOIMAPConnection {
public:
    // `settings` is read at each connect; `certificateAccepted` is called (on the worker)
    // when a certificate is accepted that is not the pinned one; `socketFd` is where the
    // open socket is published so that the session can cut it from another thread.
    MCOIMAPConnection(std::function<MCOIMAPSession::Settings()> settings,
                      std::function<void(const QString &, bool)> certificateAccepted,
                      std::shared_ptr<std::atomic<int>> socketFd);
    ~MCOIMAPConnection();
    MCOIMAPConnection(const MCOIMAPConnection &) = delete;
    MCOIMAPConnection &operator=(const MCOIMAPConnection &) = delete;

    // Connects and logs in unless already done.
    MCOIMAPError ensureConnected();
    void disconnect();

    // Connects, reads the server's certificate and disconnects, without logging in:
    // `data` is its SHA-256 fingerprint (see MCOIMAPSession::fingerprintOf).
    MCOIMAPResult certificateOnly();
    MCOIMAPResult listFolders();
    MCOIMAPResult folderInfo(const QString &folder);
    MCOIMAPResult messagesByNumber(const QString &folder, quint32 first, quint32 last);
    MCOIMAPResult messageByUID(const QString &folder, quint32 uid);
    MCOIMAPResult partByUID(const QString &folder, quint32 uid, const QString &partID,
                            MCOAbstractPart::Encoding encoding);

private:
    MCOIMAPError connectAndLogin();
    // TCP (and TLS) up to the point where the certificate is known.
    MCOIMAPError openStream(const MCOIMAPSession::Settings &settings);
    QString peerFingerprint();
    MCOIMAPError checkCertificate(const MCOIMAPSession::Settings &settings);
    // EXAMINE (read-only) unless this mailbox is open already.
    MCOIMAPError examine(const QString &folder);
    // An error for libetpan's result `r` of `what`; closes the connection when the
    // connection itself failed.
    MCOIMAPError failure(int r, MCOIMAPError::Code code, const QString &what);
    QString serverText() const;

    std::function<MCOIMAPSession::Settings()> m_settings;
    std::function<void(const QString &, bool)> m_certificateAccepted;
    std::shared_ptr<std::atomic<int>> m_socketFd;
    mailimap *m_imap = nullptr;
    QByteArray m_peerCertificate; // DER
    QString m_selected;
    quint32 m_selectedExists = 0;
    quint32 m_selectedUidValidity = 0;
    quint32 m_selectedUidNext = 0;
};
