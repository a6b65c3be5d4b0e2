#include <libetpan/libetpan.h>

#include "mailadapter/MCOIMAPConnection.h"

#include "Utils/Log.h"
#include "mailadapter/MCOIMAPMessage.h"

#include <QCryptographicHash>
#include <QSslCertificate>
#include <QSslError>

#include <cstdlib>
#include <cstring>
#include <sys/socket.h>

namespace {

// The connection itself is gone or unusable after these; other errors are the server's
// NO or BAD to one command on a connection that still works.
bool connectionBroken(int r)
{
    return r == MAILIMAP_ERROR_STREAM || r == MAILIMAP_ERROR_PARSE || r == MAILIMAP_ERROR_PROTOCOL ||
           r == MAILIMAP_ERROR_FATAL || r == MAILIMAP_ERROR_MEMORY || r == MAILIMAP_ERROR_BAD_STATE ||
           r == MAILIMAP_ERROR_CONNECTION_REFUSED || r == MAILIMAP_ERROR_DONT_ACCEPT_CONNECTION ||
           r == MAILIMAP_ERROR_SSL;
}

// The header fields that name, date and tag a message's outputs, and the charset labels
// that help decode raw 8-bit header text.
const char *const kListedHeaderFields[] = {
    "Date", "Delivery-date", "Received", "Subject", "From", "Sender", "To", "Cc", "Bcc", "Reply-To",
    "Message-ID", "X-Keywords", "X-Mailtags", "MIME-Version", "Content-Type",
};

// A listed header keeps, besides its decoded fields, only the raw lines that are read
// again by name (the date's fallbacks, the tags): every message of the account is held
// until it is handed out, and a header's raw lines are most of its memory.
MCOMessageHeader compactHeader(const MCOMessageHeader &full)
{
    static const QStringList kept{QStringLiteral("Date"), QStringLiteral("Delivery-date"),
                                  QStringLiteral("Received"), QStringLiteral("X-Keywords"),
                                  QStringLiteral("X-Mailtags")};
    MCOMessageHeader header;
    header.setSubject(full.subject());
    header.setDate(full.date());
    header.setReceivedDate(full.receivedDate());
    header.setFrom(full.from());
    header.setSender(full.sender());
    header.setTo(full.to());
    header.setCc(full.cc());
    header.setBcc(full.bcc());
    header.setReplyTo(full.replyTo());
    header.setMessageID(full.messageID());
    for (const auto &field : full.allHeaders()) {
        if (kept.contains(field.first, Qt::CaseInsensitive))
            header.addHeader(field.first, field.second);
    }
    return header;
}

// Owns what libetpan allocates for one command.
struct FetchTypeGuard {
    mailimap_fetch_type *type;
    ~FetchTypeGuard() { mailimap_fetch_type_free(type); }
};
struct SetGuard {
    mailimap_set *set;
    ~SetGuard() { mailimap_set_free(set); }
};
struct FetchListGuard {
    clist *list = nullptr;
    ~FetchListGuard()
    {
        if (list)
            mailimap_fetch_list_free(list);
    }
};

// The bytes of the first BODY[...] item of one FETCH response, if any.
bool bodySectionOf(const mailimap_msg_att *att, QByteArray *out)
{
    if (!att || !att->att_list)
        return false;
    for (clistiter *it = clist_begin(att->att_list); it; it = clist_next(it)) {
        const auto *item = static_cast<const mailimap_msg_att_item *>(clist_content(it));
        if (item && item->att_type == MAILIMAP_MSG_ATT_ITEM_STATIC && item->att_data.att_static &&
            item->att_data.att_static->att_type == MAILIMAP_MSG_ATT_BODY_SECTION) {
            const mailimap_msg_att_body_section *section = item->att_data.att_static->att_data.att_body_section;
            if (section && section->sec_body_part) {
                *out = QByteArray(section->sec_body_part, qsizetype(section->sec_length));
                return true;
            }
        }
    }
    return false;
}

// "1.2.3" as a section part of unsigned numbers; null for anything else.
mailimap_section_part *sectionPartFor(const QString &partID)
{
    const QStringList numbers = partID.split(QLatin1Char('.'));
    clist *ids = clist_new();
    for (const QString &n : numbers) {
        bool ok = false;
        const uint value = n.toUInt(&ok);
        if (!ok || value == 0) {
            for (clistiter *it = clist_begin(ids); it; it = clist_next(it))
                free(clist_content(it));
            clist_free(ids);
            return nullptr;
        }
        auto *p = static_cast<uint32_t *>(malloc(sizeof(uint32_t)));
        *p = value;
        clist_append(ids, p);
    }
    return mailimap_section_part_new(ids);
}

QByteArray decodeQuotedPrintable(const QByteArray &in)
{
    QByteArray out;
    out.reserve(in.size());
    for (qsizetype i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (c != '=') {
            out += c;
            continue;
        }
        if (i + 1 < in.size() && (in[i + 1] == '\n' || in[i + 1] == '\r')) { // soft line break
            i += (in[i + 1] == '\r' && i + 2 < in.size() && in[i + 2] == '\n') ? 2 : 1;
            continue;
        }
        if (i + 2 < in.size()) {
            bool ok = false;
            const int v = in.mid(i + 1, 2).toInt(&ok, 16);
            if (ok) {
                out += char(v);
                i += 2;
                continue;
            }
        }
        out += c; // a stray "=" stays as it is
    }
    return out;
}

QString flagText(const mailimap_mbx_list_oflag *flag)
{
    if (flag->of_type == MAILIMAP_MBX_LIST_OFLAG_NOINFERIORS)
        return QStringLiteral("\\Noinferiors");
    return QString::fromUtf8(flag->of_flag_ext ? flag->of_flag_ext : "");
}

} // namespace

MCOIMAPConnection::MCOIMAPConnection(std::function<MCOIMAPSession::Settings()> settings,
                                     std::function<void(const QString &, bool)> certificateAccepted,
                                     std::shared_ptr<std::atomic<int>> socketFd)
    : m_settings(std::move(settings)), m_certificateAccepted(std::move(certificateAccepted)),
      m_socketFd(std::move(socketFd))
{
}

MCOIMAPConnection::~MCOIMAPConnection() { disconnect(); }

void MCOIMAPConnection::disconnect()
{
    if (!m_imap)
        return;
    m_socketFd->store(-1);
    // No LOGOUT: the server sees the connection close, and a dead peer cannot make the
    // worker wait for an answer.
    mailimap_free(m_imap);
    m_imap = nullptr;
    m_selected.clear();
}

QString MCOIMAPConnection::serverText() const
{
    if (!m_imap || !m_imap->imap_response)
        return QString();
    return QString::fromUtf8(m_imap->imap_response).trimmed();
}

MCOIMAPError MCOIMAPConnection::failure(int r, MCOIMAPError::Code code, const QString &what)
{
    MCOIMAPError error;
    error.code = connectionBroken(r) && code != MCOIMAPError::ErrorAuthentication ? MCOIMAPError::ErrorConnection : code;
    const QString server = connectionBroken(r) ? QString() : serverText();
    error.description = server.isEmpty() ? QStringLiteral("%1 failed (libetpan error %2)").arg(what).arg(r)
                                         : QStringLiteral("%1 failed: %2").arg(what, server);
    if (connectionBroken(r))
        disconnect();
    return error;
}

MCOIMAPError MCOIMAPConnection::ensureConnected()
{
    if (m_imap)
        return {};
    return connectAndLogin();
}

MCOIMAPError MCOIMAPConnection::openStream(const MCOIMAPSession::Settings &s)
{
    MCOIMAPError error;
    if (s.hostname.isEmpty()) {
        error.code = MCOIMAPError::ErrorConnection;
        error.description = QStringLiteral("no IMAP server is set for this account");
        return error;
    }
    m_imap = mailimap_new(0, nullptr);
    if (!m_imap) {
        error.code = MCOIMAPError::ErrorConnection;
        error.description = QStringLiteral("out of memory");
        return error;
    }
    // libetpan's protocol logger stays unset: the LOGIN line would be in it.
    mailimap_set_timeout(m_imap, time_t(s.timeoutSecs));
    const QByteArray host = s.hostname.toUtf8();
    const auto port = uint16_t(s.port);
    int r = MAILIMAP_NO_ERROR;
    if (s.connectionType == MCOIMAPSession::ConnectionTypeTLS) {
        r = mailimap_ssl_connect_with_callback(
            m_imap, host.constData(), port,
            [](mailstream_ssl_context *context, void *data) {
                mailstream_ssl_set_server_name(context, static_cast<char *>(data));
            },
            const_cast<char *>(host.constData()));
    } else {
        r = mailimap_socket_connect(m_imap, host.constData(), port);
    }
    if (r != MAILIMAP_NO_ERROR_AUTHENTICATED && r != MAILIMAP_NO_ERROR_NON_AUTHENTICATED) {
        error.code = MCOIMAPError::ErrorConnection;
        error.description = QStringLiteral("cannot connect to %1 port %2").arg(s.hostname).arg(s.port);
        disconnect();
        return error;
    }
    if (m_imap->imap_stream)
        m_socketFd->store(mailstream_low_get_fd(mailstream_get_low(m_imap->imap_stream)));
    if (s.connectionType == MCOIMAPSession::ConnectionTypeStartTLS) {
        r = mailimap_socket_starttls(m_imap);
        if (r != MAILIMAP_NO_ERROR) {
            error = failure(r, MCOIMAPError::ErrorTLSNotAvailable, QStringLiteral("STARTTLS"));
            disconnect();
            return error;
        }
        m_socketFd->store(mailstream_low_get_fd(mailstream_get_low(m_imap->imap_stream)));
    }
    return error;
}

QString MCOIMAPConnection::peerFingerprint()
{
    unsigned char *der = nullptr;
    const ssize_t length = m_imap && m_imap->imap_stream ? mailstream_ssl_get_certificate(m_imap->imap_stream, &der) : -1;
    if (length <= 0 || !der)
        return QString();
    const QByteArray bytes(reinterpret_cast<const char *>(der), qsizetype(length));
    free(der);
    m_peerCertificate = bytes;
    return MCOIMAPSession::fingerprintOf(bytes);
}

MCOIMAPResult MCOIMAPConnection::certificateOnly()
{
    disconnect();
    const MCOIMAPSession::Settings s = m_settings();
    MCOIMAPResult result;
    if (s.connectionType == MCOIMAPSession::ConnectionTypeClear) {
        result.error.code = MCOIMAPError::ErrorCertificate;
        result.error.description = QStringLiteral("the account uses a plain connection: there is no certificate");
        return result;
    }
    result.error = openStream(s);
    if (result.error.isError())
        return result;
    result.data = peerFingerprint().toLatin1();
    disconnect();
    if (result.data.isEmpty()) {
        result.error.code = MCOIMAPError::ErrorCertificate;
        result.error.description = QStringLiteral("%1 sent no certificate").arg(s.hostname);
    }
    return result;
}

MCOIMAPError MCOIMAPConnection::connectAndLogin()
{
    const MCOIMAPSession::Settings s = m_settings();
    MCOIMAPError error = openStream(s);
    if (error.isError())
        return error;
    int r = MAILIMAP_NO_ERROR;
    if (s.connectionType == MCOIMAPSession::ConnectionTypeClear) {
        TLog(QStringLiteral("warning: the connection to %1 is not encrypted (chosen in the account's settings); "
                            "the password and the mail travel in clear")
                 .arg(s.hostname));
    } else {
        error = checkCertificate(s);
        if (error.isError()) {
            disconnect();
            return error;
        }
    }
    const QByteArray user = s.username.toUtf8();
    if (s.authType == MCOIMAPSession::AuthTypeXOAuth2) {
        const QByteArray token = s.oauth2Token.toUtf8();
        r = mailimap_oauth2_authenticate(m_imap, user.constData(), token.constData());
    } else {
        const QByteArray password = s.password.toUtf8();
        r = mailimap_login(m_imap, user.constData(), password.constData());
    }
    if (r != MAILIMAP_NO_ERROR) {
        // The server's answer to LOGIN is its own text ("[AUTHENTICATIONFAILED] ..."),
        // never our command line.
        error = failure(r, MCOIMAPError::ErrorAuthentication, QStringLiteral("login as %1").arg(s.username));
        disconnect();
        return error;
    }
    return {};
}

MCOIMAPError MCOIMAPConnection::checkCertificate(const MCOIMAPSession::Settings &s)
{
    MCOIMAPError error;
    const QString seen = peerFingerprint();
    if (seen.isEmpty()) {
        error.code = MCOIMAPError::ErrorCertificate;
        error.description = QStringLiteral("%1 sent no certificate").arg(s.hostname);
        return error;
    }
    const QList<QSslCertificate> chain = QSslCertificate::fromData(m_peerCertificate, QSsl::Der);
    // Only the server's own certificate is at hand, so one signed through an
    // intermediate does not verify here and falls back to the pin; that is safe.
    const bool verified = !chain.isEmpty() && QSslCertificate::verify(chain, s.hostname).isEmpty();
    const QString pinned = s.pinnedCertificateSHA256.trimmed().toUpper();
    if (verified || (pinned.isEmpty() && s.trustFirstCertificate) || pinned == seen) {
        if (pinned != seen)
            m_certificateAccepted(seen, verified);
        return {};
    }
    error.code = MCOIMAPError::ErrorCertificate;
    error.seenSHA256 = seen;
    error.pinnedSHA256 = pinned;
    if (pinned.isEmpty()) {
        error.description = QStringLiteral("the certificate of %1 is not trusted yet: SHA-256 %2. Nothing was sent.")
                                .arg(s.hostname, seen);
        return error;
    }
    error.description = QStringLiteral("the certificate of %1 has changed: it is now SHA-256 %2, but %3 was stored "
                                       "for this account. Nothing was sent. If the change is expected, accept the new "
                                       "certificate with `tarnwick sources trust %4`")
                            .arg(s.hostname, seen, pinned, s.username);
    return error;
}

MCOIMAPResult MCOIMAPConnection::listFolders()
{
    MCOIMAPResult result;
    result.error = ensureConnected();
    if (result.error.isError())
        return result;
    clist *list = nullptr;
    const int r = mailimap_list(m_imap, "", "*", &list);
    if (r != MAILIMAP_NO_ERROR) {
        result.error = failure(r, MCOIMAPError::ErrorConnection, QStringLiteral("LIST"));
        return result;
    }
    for (clistiter *it = clist_begin(list); it; it = clist_next(it)) {
        const auto *mb = static_cast<const mailimap_mailbox_list *>(clist_content(it));
        if (!mb || !mb->mb_name)
            continue;
        MCOIMAPFolder folder;
        folder.path = QString::fromUtf8(mb->mb_name);
        folder.delimiter = mb->mb_delimiter ? QChar::fromLatin1(mb->mb_delimiter) : QChar();
        if (const mailimap_mbx_list_flags *flags = mb->mb_flag) {
            if (flags->mbf_type == MAILIMAP_MBX_LIST_FLAGS_SFLAG) {
                switch (flags->mbf_sflag) {
                case MAILIMAP_MBX_LIST_SFLAG_NOSELECT: folder.flags << QStringLiteral("\\Noselect"); break;
                case MAILIMAP_MBX_LIST_SFLAG_MARKED: folder.flags << QStringLiteral("\\Marked"); break;
                case MAILIMAP_MBX_LIST_SFLAG_UNMARKED: folder.flags << QStringLiteral("\\Unmarked"); break;
                default: break;
                }
            }
            for (clistiter *f = flags->mbf_oflags ? clist_begin(flags->mbf_oflags) : nullptr; f; f = clist_next(f))
                folder.flags << flagText(static_cast<const mailimap_mbx_list_oflag *>(clist_content(f)));
        }
        result.folders.append(folder);
    }
    mailimap_list_result_free(list);
    return result;
}

MCOIMAPError MCOIMAPConnection::examine(const QString &folder)
{
    MCOIMAPError error = ensureConnected();
    if (error.isError() || m_selected == folder)
        return error;
    m_selected.clear();
    const QByteArray name = folder.toUtf8();
    const int r = mailimap_examine(m_imap, name.constData());
    if (r != MAILIMAP_NO_ERROR)
        return failure(r, MCOIMAPError::ErrorNonExistentFolder, QStringLiteral("EXAMINE %1").arg(folder));
    m_selected = folder;
    const mailimap_selection_info *info = m_imap->imap_selection_info;
    m_selectedExists = info ? info->sel_exists : 0;
    m_selectedUidValidity = info ? info->sel_uidvalidity : 0;
    m_selectedUidNext = info ? info->sel_uidnext : 0;
    return error;
}

MCOIMAPResult MCOIMAPConnection::folderInfo(const QString &folder)
{
    MCOIMAPResult result;
    // Opened afresh, so that the count is today's even on a connection that had the
    // mailbox open already.
    m_selected.clear();
    result.error = examine(folder);
    if (!result.error.isError())
        result.info = {m_selectedExists, m_selectedUidValidity, m_selectedUidNext};
    return result;
}

MCOIMAPResult MCOIMAPConnection::messagesByNumber(const QString &folder, quint32 first, quint32 last)
{
    MCOIMAPResult result;
    result.error = examine(folder);
    if (result.error.isError())
        return result;
    // A range past the end (the last chunk of a full one) lists what there is; a range
    // wholly past the end lists nothing and is no error.
    last = qMin(last, m_selectedExists);
    if (first == 0 || first > last)
        return result;
    FetchTypeGuard type{mailimap_fetch_type_new_fetch_att_list_empty()};
    mailimap_fetch_type_new_fetch_att_list_add(type.type, mailimap_fetch_att_new_uid());
    mailimap_fetch_type_new_fetch_att_list_add(type.type, mailimap_fetch_att_new_rfc822_size());
    mailimap_fetch_type_new_fetch_att_list_add(type.type, mailimap_fetch_att_new_bodystructure());
    // Header fields rather than the envelope: the outputs' paths come from the same
    // fields, decoded the same way, as for the downloaded message (the raw Date and its
    // fallbacks, Received, X-Keywords). Only those: a long list holds every header of
    // every message in memory, and signatures and routing lines are most of a header.
    clist *names = clist_new();
    for (const char *name : kListedHeaderFields)
        clist_append(names, strdup(name));
    mailimap_fetch_type_new_fetch_att_list_add(
        type.type, mailimap_fetch_att_new_body_peek_section(
                       mailimap_section_new_header_fields(mailimap_header_list_new(names))));
    SetGuard set{mailimap_set_new_interval(first, last)};
    FetchListGuard list;
    const int r = mailimap_fetch(m_imap, set.set, type.type, &list.list);
    if (r != MAILIMAP_NO_ERROR) {
        result.error = failure(r, MCOIMAPError::ErrorFetch,
                               QStringLiteral("FETCH %1:%2 in %3").arg(first).arg(last).arg(folder));
        return result;
    }
    for (clistiter *it = clist_begin(list.list); it; it = clist_next(it)) {
        auto message = MCOIMAPMessage::messageWithFetchAttributes(static_cast<const mailimap_msg_att *>(clist_content(it)));
        if (message->uid() == 0)
            continue; // an unsolicited FETCH (flags changed meanwhile), not one of ours
        message->setFolder(folder);
        message->header() = compactHeader(message->header());
        result.messages.append(message);
    }
    return result;
}

MCOIMAPResult MCOIMAPConnection::messageByUID(const QString &folder, quint32 uid)
{
    MCOIMAPResult result;
    result.error = examine(folder);
    if (result.error.isError())
        return result;
    FetchTypeGuard type{mailimap_fetch_type_new_fetch_att_list_empty()};
    mailimap_fetch_type_new_fetch_att_list_add(type.type, mailimap_fetch_att_new_body_peek_section(mailimap_section_new(nullptr)));
    SetGuard set{mailimap_set_new_single(uid)};
    FetchListGuard list;
    const int r = mailimap_uid_fetch(m_imap, set.set, type.type, &list.list);
    if (r != MAILIMAP_NO_ERROR) {
        result.error = failure(r, MCOIMAPError::ErrorFetch, QStringLiteral("UID FETCH %1 in %2").arg(uid).arg(folder));
        return result;
    }
    for (clistiter *it = clist_begin(list.list); it; it = clist_next(it)) {
        if (bodySectionOf(static_cast<const mailimap_msg_att *>(clist_content(it)), &result.data))
            return result;
    }
    result.error.code = MCOIMAPError::ErrorNoSuchMessage;
    result.error.description = QStringLiteral("message UID %1 is no longer in %2").arg(uid).arg(folder);
    return result;
}

MCOIMAPResult MCOIMAPConnection::partByUID(const QString &folder, quint32 uid, const QString &partID,
                                           MCOAbstractPart::Encoding encoding)
{
    MCOIMAPResult result;
    mailimap_section_part *part = sectionPartFor(partID);
    if (!part) {
        result.error.code = MCOIMAPError::ErrorFetch;
        result.error.description = QStringLiteral("'%1' is not a part of a message").arg(partID);
        return result;
    }
    result.error = examine(folder);
    if (result.error.isError()) {
        mailimap_section_part_free(part);
        return result;
    }
    FetchTypeGuard type{mailimap_fetch_type_new_fetch_att_list_empty()};
    mailimap_fetch_type_new_fetch_att_list_add(type.type,
                                               mailimap_fetch_att_new_body_peek_section(mailimap_section_new_part(part)));
    SetGuard set{mailimap_set_new_single(uid)};
    FetchListGuard list;
    const int r = mailimap_uid_fetch(m_imap, set.set, type.type, &list.list);
    if (r != MAILIMAP_NO_ERROR) {
        result.error = failure(r, MCOIMAPError::ErrorFetch,
                               QStringLiteral("UID FETCH %1 part %2 in %3").arg(uid).arg(partID, folder));
        return result;
    }
    QByteArray raw;
    bool found = false;
    for (clistiter *it = clist_begin(list.list); it && !found; it = clist_next(it))
        found = bodySectionOf(static_cast<const mailimap_msg_att *>(clist_content(it)), &raw);
    if (!found) {
        result.error.code = MCOIMAPError::ErrorNoSuchMessage;
        result.error.description = QStringLiteral("part %1 of message UID %2 is not in %3").arg(partID).arg(uid).arg(folder);
        return result;
    }
    switch (encoding) {
    case MCOAbstractPart::Encoding::Base64:
        result.data = QByteArray::fromBase64(raw); // line breaks and junk are skipped
        break;
    case MCOAbstractPart::Encoding::QuotedPrintable: result.data = decodeQuotedPrintable(raw); break;
    default: result.data = raw; break;
    }
    return result;
}
