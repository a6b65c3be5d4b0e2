// Tags and PDF document information of the renderer's outputs: the message's keyword
// headers become file tags (OpenMeta), and every good PDF gets the message's addresses
// as keywords, sender, subject, creator and dates in its document information (PdfInfo).

#include "RenderEngine/MessageToHTMLToPDF.h"
#include "Utils/Log.h"
#include "localmail/MailStores.h"
#include "openmeta/OpenMeta.h"
#include "openmeta/PdfInfo.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>

namespace {

// The JSON object of `text`, or an empty one (after logging) when it is not one.
QVariantMap dictFromJSONString(const QString &text)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError) {
        TLog(QStringLiteral("jsonStringWithPrettyPrint: error: %1").arg(error.errorString()));
        return {};
    }
    if (!doc.isObject()) {
        TLog(QStringLiteral("jsonStringWithPrettyPrint: error: %1").arg(QStringLiteral("not a JSON object")));
        return {};
    }
    return doc.object().toVariantMap();
}

// "X-Keywords": mail clients write either "a,b" or "a b" (with "_" for spaces inside a
// keyword); whichever separator cuts more pieces is the one used.
QStringList headerKeywords(const QString &value)
{
    if (value.isEmpty())
        return {};
    const QStringList byComma = value.split(u',');
    const QStringList bySpace = value.split(u' ');
    QStringList out;
    if (bySpace.size() > byComma.size()) {
        for (QString piece : bySpace)
            out.append(piece.replace(u'_', u' '));
    } else {
        out = byComma; // kept as written, leading spaces included
    }
    // An empty tag cannot be told apart in the comma-separated tag list.
    out.removeAll(QString());
    return out;
}

} // namespace

void MessageToHTMLToPDF::setExtraTags(const QStringList &tags)
{
    if (tags.isEmpty())
        m_options.remove(JobKey::extraTags);
    else
        m_options.insert(JobKey::extraTags, tags);
}

void MessageToHTMLToPDF::addAppleTags(const MCOAbstractMessage &message, const QString &path,
                                      const QStringList &extraTags)
{
    const MCOMessageHeader &header = message.header();
    QVariantList toolKeywords;
    const QString mailtags = header.extraHeaderValueForName(QStringLiteral("X-Mailtags"));
    if (!mailtags.isEmpty())
        toolKeywords = dictFromJSONString(mailtags).value(QStringLiteral("mailTagsKeyWords")).toList();
    QStringList fromHeader = headerKeywords(header.extraHeaderValueForName(QStringLiteral("X-Keywords")));
    // Thunderbird keeps its tags in a header of its own.
    fromHeader += MailStores::mozillaKeywordTags(header.extraHeaderValueForName(QStringLiteral("X-Mozilla-Keys")));
    fromHeader += extraTags;
    if (fromHeader.isEmpty() && toolKeywords.isEmpty())
        return; // the file's present tags are left alone

    // The tag-tool list goes in as it came: a non-string element makes OpenMeta refuse
    // the list rather than tag the file with a made-up text.
    QVariantList tags;
    for (const QString &t : fromHeader)
        tags.append(t);
    tags += toolKeywords;
    (void)OpenMeta::setUserTags(QVariant(tags), path); // a file that cannot carry tags stays untagged
}

QStringList MessageToHTMLToPDF::emailAddressesForMessage(const MCOAbstractMessage &message)
{
    const MCOMessageHeader &header = message.header();
    QMap<QString, QString> byLower;
    const QString from = header.from().mailbox();
    if (!from.isEmpty())
        byLower.insert(from.toLower(), from);
    for (const MCOAddressList &list : {header.to(), header.cc(), header.bcc()}) {
        for (const MCOAddress &address : list) {
            if (address.mailbox().isEmpty())
                continue;
            const QString lower = address.mailbox().toLower();
            byLower.insert(lower, lower);
        }
    }
    return byLower.values();
}

void MessageToHTMLToPDF::addEmailsAsKeywords(const QString &pdfPath, const MCOAbstractMessage &message)
{
    const MCOMessageHeader &header = message.header();
    PdfInfoFields fields;
    fields.keywords = emailAddressesForMessage(message);
    fields.author = header.from().mailbox();
    fields.title = header.subject();
    fields.subject = header.subject();
    fields.creator = PdfInfo::creatorString();
    // The date repair writes into the header it is given; the caller's message stays as is.
    MCOMessageHeader copy = header;
    const QDateTime date = dateFromMailCoreHeaderAndFixTheHeaderToo(copy);
    // The repair gives back the parsed date even when it is implausible; such a date
    // would only mislead a reader of the PDF.
    if (dateOKForEmail(date))
        fields.creationDate = date;
    fields.modDate = QDateTime::currentDateTimeUtc();
    fields.messageIdentity = messageIdentity(message);
    PdfInfo::rewrite(pdfPath, fields);
}
