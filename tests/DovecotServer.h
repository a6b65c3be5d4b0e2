#pragma once
// A real Dovecot for the IMAP tests: started on 127.0.0.1 with ephemeral ports (plain
// with STARTTLS, and TLS), a configuration, a self-signed certificate and passwd-file
// users of its own in a temporary folder, mail in Maildir written straight to disk. Its
// log records every IMAP command ("Command finished: ...") and every change to a mailbox
// (mail_log), so tests can check what was asked of the server. Stopped when the object
// goes.

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <memory>

class QProcess;

class DovecotServer {
public:
    DovecotServer();
    ~DovecotServer();

    // Null with `whyNot` set when Dovecot or openssl is missing or this is not root (the
    // caller skips).
    static std::unique_ptr<DovecotServer> startNew(QString *whyNot, QString *failure);
    // False with `whyNot` set when startNew would skip.
    static bool canRun(QString *whyNot);

    bool start(QString *failure);
    void stop();
    bool isRunning() const;
    // A new self-signed certificate, and the server restarted with it on the same ports.
    bool renewCertificate(QString *failure);

    void addUser(const QString &email, const QString &password);
    // Before start: XOAUTH2 and OAUTHBEARER logins too, their bearer tokens validated by
    // the oauth2 passdb against `url` (RFC 7662 introspection by POST; the "email" of
    // an "active" answer is the user).
    void setOAuth2IntrospectionURL(const QString &url) { m_introspectionURL = url; }
    // Ends the user's IMAP sessions, as a server does when it drops a connection.
    bool kickUser(const QString &email);
    // Creates the mailbox (its name as IMAP spells it, "." between levels).
    void createMailbox(const QString &email, const QString &mailbox);
    // Writes one message into the mailbox's new/ folder; Dovecot picks it up on EXAMINE.
    void writeMessage(const QString &email, const QString &mailbox, const QByteArray &rfc822);

    int plainPort() const { return m_plainPort; }
    int tlsPort() const { return m_tlsPort; }
    QString log() const;
    // Lines of the log that contain `text`.
    int countLogLines(const QString &text) const;

private:
    bool makeCertificate(QString *failure);
    void writeConfig();
    QString maildir(const QString &email, const QString &mailbox) const;

    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_master;
    int m_plainPort = 0, m_tlsPort = 0;
    int m_counter = 0;
    QString m_introspectionURL;
    unsigned m_mailUid = 0, m_mailGid = 0;
};
