#pragma once
// A message parsed from its RFC 822 bytes (GMime underneath): decoded header, MIME tree
// with IMAP part numbers, and the split of its leaves into body texts, inline
// attachments and attachments.
//
// Which leaves are what — the same rule for parsed and IMAP messages (MCOPartClassifier):
//
//   * Body text: a leaf of type text/plain or text/html (or text/enriched) whose
//     Content-Disposition is not "attachment" and that has no file name. Body texts are
//     rendered; they are neither attachments nor inline attachments.
//   * Inline attachment (htmlInlineAttachments()): a leaf that is not a body text and
//     whose Content-ID, or Content-Location, is referenced from an HTML body text of the
//     message: a "cid:" URL (matched without case, percent-decoded) naming its Content-ID,
//     or its Content-Location written as a URL in the HTML.
//   * Attachment (attachments()): every other leaf, including leaves without a file name
//     (callers name them), multipart/signed signatures and TNEF winmail.dat files.
//   * Attached messages (message/rfc822) are walked into, not listed: the bodies of an
//     attached message are body texts of it, and its attachments and inline attachments
//     join the lists of the message that carries it, in document order.
//   * An IMAP message, which has a body structure but no HTML text, counts a non-body
//     leaf with a Content-ID or Content-Location inside a multipart/related as inline.
//
// Bounds: the tree is read to a nesting depth of 64 and at most 10000 parts; whatever
// lies deeper or beyond is left out, with one log line per message.

#include "mailadapter/MCOAbstractMessage.h"
#include "mailadapter/MCOAttachment.h"

#include <QByteArray>
#include <QList>
#include <QStringList>

#include <memory>

class MCOMessageParser : public MCOAbstractMessage {
public:
    static constexpr int kMaxDepth = 64;
    static constexpr int kMaxParts = 10000;

    // Parses `rfc822`. Never returns null and never fails: input that is empty or holds
    // no header at all gives a message with an empty header and no parts (and one log
    // line). A UTF-8 byte-order mark, blank lines or an mbox "From " line before the
    // header are skipped.
    static std::shared_ptr<MCOMessageParser> messageParserWithData(const QByteArray &rfc822);

    ~MCOMessageParser() override;
    MCOMessageParser(const MCOMessageParser &) = delete;
    MCOMessageParser &operator=(const MCOMessageParser &) = delete;

    // The bytes as given to messageParserWithData().
    const QByteArray &data() const { return m_data; }
    // The message as it was received, before any clean-up or header repair made the
    // parsed bytes: what an archived .eml copy holds. The parsed bytes unless set.
    const QByteArray &originalData() const { return m_originalData.isNull() ? m_data : m_originalData; }
    void setOriginalData(const QByteArray &bytes) { m_originalData = bytes; }

    MCOAbstractPartPtr mainPart() const override { return m_mainPart; }
    QList<MCOAbstractPartPtr> attachments() const override { return m_attachments; }
    QList<MCOAbstractPartPtr> htmlInlineAttachments() const override { return m_inlineAttachments; }

    // Every body text leaf in document order (attached messages included).
    const QList<std::shared_ptr<MCOAttachment>> &bodyTextParts() const { return m_bodyTexts; }

    enum class BodyPreference { HTML, PlainText };
    // The body texts to show: like bodyTextParts(), but of each multipart/alternative
    // only the last alternative holding a body text of the preferred kind (else the last
    // holding any body text).
    QList<std::shared_ptr<MCOAttachment>> preferredBodyTextParts(BodyPreference preference) const;

    // Decoded texts of the HTML / plain-text body texts, in document order.
    QStringList htmlBodyTexts() const;
    QStringList plainTextBodyTexts() const;

    // Charset labels found in the message (text parts and encoded words), the hints
    // that guide the charset guess of its undeclared text.
    const QList<QByteArray> &charsetHints() const { return m_hints; }

private:
    explicit MCOMessageParser(const QByteArray &data);
    void parse();

    struct Private;
    std::unique_ptr<Private> d;
    QByteArray m_data;
    QByteArray m_originalData;
    MCOAbstractPartPtr m_mainPart;
    QList<MCOAbstractPartPtr> m_attachments;
    QList<MCOAbstractPartPtr> m_inlineAttachments;
    QList<std::shared_ptr<MCOAttachment>> m_bodyTexts;
    QList<QByteArray> m_hints;
};
