#pragma once
// A message on an IMAP server, as FETCH describes it: UID, flags, size, header (from the
// ENVELOPE or from raw header bytes) and the part tree of its BODYSTRUCTURE, numbered
// by the server's section numbers. Attachments and inline attachments follow the rule
// of MCOMessageParser.h, as far as a body structure allows.
//
// libetpan types appear only as forward declarations here; the builders read them and
// keep nothing of them, so the caller frees its libetpan structures as usual.

#include "mailadapter/MCOAbstractMessage.h"

#include <QDateTime>
#include <QStringList>

#include <cstdint>
#include <memory>

struct mailimap_body;
struct mailimap_envelope;
struct mailimap_msg_att;

class MCOIMAPMessage : public MCOAbstractMessage {
public:
    // System flags, as bits of flags().
    enum Flag : quint32 {
        FlagNone = 0,
        FlagSeen = 1u << 0,
        FlagAnswered = 1u << 1,
        FlagFlagged = 1u << 2,
        FlagDeleted = 1u << 3,
        FlagDraft = 1u << 4,
        FlagMDNSent = 1u << 5,   // $MDNSent
        FlagForwarded = 1u << 6, // $Forwarded
        FlagRecent = 1u << 7,
    };
    using Flags = quint32;

    static constexpr int kMaxDepth = 64;
    static constexpr int kMaxParts = 10000;

    quint32 uid() const { return m_uid; }
    void setUid(quint32 uid) { m_uid = uid; }
    // The mailbox it was listed in, in the server's spelling: where it is fetched from.
    QString folder() const { return m_folder; }
    void setFolder(const QString &folder) { m_folder = folder; }
    Flags flags() const { return m_flags; }
    void setFlags(Flags flags) { m_flags = flags; }
    // Keywords other than the flags above, as the server spells them.
    const QStringList &customFlags() const { return m_customFlags; }
    void setCustomFlags(const QStringList &flags) { m_customFlags = flags; }
    // RFC822.SIZE: size of the whole message in bytes.
    quint32 size() const { return m_size; }
    void setSize(quint32 size) { m_size = size; }
    // INTERNALDATE (UTC); invalid when not fetched.
    QDateTime internalDate() const { return m_internalDate; }
    void setInternalDate(const QDateTime &date) { m_internalDate = date.toUTC(); }

    MCOAbstractPartPtr mainPart() const override { return m_mainPart; }
    QList<MCOAbstractPartPtr> attachments() const override { return m_attachments; }
    QList<MCOAbstractPartPtr> htmlInlineAttachments() const override { return m_inlineAttachments; }
    // Body text leaves (text/plain, text/html without name or attachment disposition),
    // in document order: the sections to fetch for rendering.
    QList<MCOAbstractPartPtr> bodyTextParts() const { return m_bodyTexts; }

    // Replaces the part tree and sorts its leaves (null clears it).
    void setMainPart(MCOAbstractPartPtr part);

    // Builds a part tree from a BODYSTRUCTURE (or BODY). Null for a null `body`. Nesting
    // beyond kMaxDepth or parts beyond kMaxParts are left out, with one log line.
    static MCOAbstractPartPtr partFromBodyStructure(const mailimap_body *body);
    void setMainPartFromBodyStructure(const mailimap_body *body) { setMainPart(partFromBodyStructure(body)); }

    // Replaces the header with the fields of an ENVELOPE (null: empty header).
    void setHeaderFromEnvelope(const mailimap_envelope *envelope);
    // Replaces the header with one parsed from raw header bytes (BODY[HEADER]), every
    // field decoded as for a parsed message.
    void setHeaderFromRawData(const QByteArray &headerBytes);

    // A message from the items of one FETCH response: UID, FLAGS, RFC822.SIZE,
    // INTERNALDATE, ENVELOPE, BODYSTRUCTURE / BODY, and RFC822.HEADER or BODY[HEADER]
    // (preferred over the envelope when both are there). Never null; items that are
    // missing leave their fields empty.
    static std::shared_ptr<MCOIMAPMessage> messageWithFetchAttributes(const mailimap_msg_att *attributes);

private:
    quint32 m_uid = 0;
    QString m_folder;
    Flags m_flags = FlagNone;
    QStringList m_customFlags;
    quint32 m_size = 0;
    QDateTime m_internalDate;
    MCOAbstractPartPtr m_mainPart;
    QList<MCOAbstractPartPtr> m_attachments;
    QList<MCOAbstractPartPtr> m_inlineAttachments;
    QList<MCOAbstractPartPtr> m_bodyTexts;
};
