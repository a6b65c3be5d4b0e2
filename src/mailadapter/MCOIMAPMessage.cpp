#include <libetpan/libetpan.h>

#include "mailadapter/MCOIMAPMessage.h"

#include "Utils/Log.h"
#include "mailadapter/MCOHeaderDecoder.h"
#include "mailadapter/MCOIMAPMessagePart.h"
#include "mailadapter/MCOIMAPMultipart.h"
#include "mailadapter/MCOIMAPPart.h"
#include "mailadapter/MCOMessageParser.h"
#include "mailadapter/MCOPartClassifier.h"

#include <QTimeZone>

namespace {

QString lower(const char *text)
{
    return QString::fromUtf8(text ? text : "").toLower();
}

// The parameters of a body structure as the value of a MIME field, so that they are
// decoded (RFC 2231 sections and charsets, RFC 2047 words) exactly like parsed ones.
QByteArray parameterField(const mailimap_body_fld_param *params)
{
    QByteArray out("x");
    if (!params || !params->pa_list)
        return out;
    for (clistiter *it = clist_begin(params->pa_list); it; it = clist_next(it)) {
        const auto *param = static_cast<const mailimap_single_body_fld_param *>(clist_content(it));
        if (!param || !param->pa_name)
            continue;
        QByteArray value(param->pa_value ? param->pa_value : "");
        value.replace('\\', "\\\\");
        value.replace('"', "\\\"");
        out += "; " + QByteArray(param->pa_name) + "=\"" + value + '"';
    }
    return out;
}

QString mediaTypeOf(const mailimap_media_basic *media)
{
    if (!media)
        return QStringLiteral("application/octet-stream");
    QString type;
    switch (media->med_type) {
    case MAILIMAP_MEDIA_BASIC_APPLICATION: type = QStringLiteral("application"); break;
    case MAILIMAP_MEDIA_BASIC_AUDIO: type = QStringLiteral("audio"); break;
    case MAILIMAP_MEDIA_BASIC_IMAGE: type = QStringLiteral("image"); break;
    case MAILIMAP_MEDIA_BASIC_MESSAGE: type = QStringLiteral("message"); break;
    case MAILIMAP_MEDIA_BASIC_VIDEO: type = QStringLiteral("video"); break;
    default: type = lower(media->med_basic_type); break;
    }
    const QString subtype = lower(media->med_subtype);
    if (type.isEmpty() || subtype.isEmpty())
        return QStringLiteral("application/octet-stream");
    return type + QLatin1Char('/') + subtype;
}

MCOAbstractPart::Encoding encodingOf(const mailimap_body_fld_enc *encoding)
{
    if (!encoding)
        return MCOAbstractPart::Encoding::SevenBit;
    switch (encoding->enc_type) {
    case MAILIMAP_BODY_FLD_ENC_7BIT: return MCOAbstractPart::Encoding::SevenBit;
    case MAILIMAP_BODY_FLD_ENC_8BIT: return MCOAbstractPart::Encoding::EightBit;
    case MAILIMAP_BODY_FLD_ENC_BINARY: return MCOAbstractPart::Encoding::Binary;
    case MAILIMAP_BODY_FLD_ENC_BASE64: return MCOAbstractPart::Encoding::Base64;
    case MAILIMAP_BODY_FLD_ENC_QUOTED_PRINTABLE: return MCOAbstractPart::Encoding::QuotedPrintable;
    default:
        return MCOAbstractPart::encodingFromString(QString::fromUtf8(encoding->enc_value ? encoding->enc_value : ""));
    }
}

void applyDisposition(MCOAbstractPart &part, const mailimap_body_fld_dsp *disposition, QString *filename)
{
    if (!disposition)
        return;
    part.setDisposition(MCOAbstractPart::dispositionFromString(lower(disposition->dsp_type)));
    if (disposition->dsp_attributes)
        *filename = MCOHeaderDecoder::parameter(parameterField(disposition->dsp_attributes), "filename");
}

class BodyBuilder {
public:
    MCOAbstractPartPtr buildBody(const mailimap_body *body, const QString &prefix, int depth)
    {
        if (!body)
            return nullptr;
        if (body->bd_type == MAILIMAP_BODY_MPART)
            return buildPart(body, prefix, depth);
        return buildPart(body, prefix.isEmpty() ? QStringLiteral("1") : prefix + QLatin1String(".1"), depth);
    }

    bool truncated() const { return m_truncated; }

private:
    MCOAbstractPartPtr buildPart(const mailimap_body *body, const QString &id, int depth)
    {
        if (!body)
            return nullptr;
        if (depth > MCOIMAPMessage::kMaxDepth || m_count >= MCOIMAPMessage::kMaxParts) {
            m_truncated = true;
            return nullptr;
        }
        ++m_count;
        if (body->bd_type == MAILIMAP_BODY_MPART)
            return buildMultipart(body->bd_data.bd_body_mpart, id, depth);
        if (body->bd_type != MAILIMAP_BODY_1PART || !body->bd_data.bd_body_1part)
            return nullptr;
        const mailimap_body_type_1part *single = body->bd_data.bd_body_1part;
        switch (single->bd_type) {
        case MAILIMAP_BODY_TYPE_1PART_MSG:
            return buildMessage(single, id, depth);
        case MAILIMAP_BODY_TYPE_1PART_TEXT:
            if (!single->bd_data.bd_type_text)
                return nullptr;
            return buildLeaf(QStringLiteral("text/") + lower(single->bd_data.bd_type_text->bd_media_text),
                             single->bd_data.bd_type_text->bd_fields, single->bd_ext_1part, id);
        case MAILIMAP_BODY_TYPE_1PART_BASIC:
            if (!single->bd_data.bd_type_basic)
                return nullptr;
            return buildLeaf(mediaTypeOf(single->bd_data.bd_type_basic->bd_media_basic),
                             single->bd_data.bd_type_basic->bd_fields, single->bd_ext_1part, id);
        default:
            return nullptr;
        }
    }

    MCOAbstractPartPtr buildMultipart(const mailimap_body_type_mpart *multipart, const QString &id, int depth)
    {
        if (!multipart)
            return nullptr;
        auto part = std::make_shared<MCOIMAPMultipart>();
        start(*part, id);
        part->setMimeType(QStringLiteral("multipart/") + lower(multipart->bd_media_subtype));
        if (const mailimap_body_ext_mpart *ext = multipart->bd_ext_mpart) {
            QString unused;
            applyDisposition(*part, ext->bd_disposition, &unused);
            if (ext->bd_loc)
                part->setContentLocation(QString::fromUtf8(ext->bd_loc).trimmed());
        }
        int index = 0;
        for (clistiter *it = multipart->bd_list ? clist_begin(multipart->bd_list) : nullptr; it; it = clist_next(it)) {
            ++index;
            const QString childID =
                id.isEmpty() ? QString::number(index) : id + QLatin1Char('.') + QString::number(index);
            const auto *childBody = static_cast<const mailimap_body *>(clist_content(it));
            if (MCOAbstractPartPtr child = buildPart(childBody, childID, depth + 1))
                part->addPart(std::move(child));
        }
        return part;
    }

    MCOAbstractPartPtr buildMessage(const mailimap_body_type_1part *single, const QString &id, int depth)
    {
        const mailimap_body_type_msg *message = single->bd_data.bd_type_msg;
        if (!message)
            return nullptr;
        auto part = std::make_shared<MCOIMAPMessagePart>();
        start(*part, id);
        applyFields(*part, message->bd_fields, single->bd_ext_1part);
        part->setMimeType(QStringLiteral("message/rfc822"));
        if (message->bd_fields)
            part->setSize(message->bd_fields->bd_size);
        MCOIMAPMessage envelopeReader;
        envelopeReader.setHeaderFromEnvelope(message->bd_envelope);
        part->header() = envelopeReader.header();
        part->setMainPart(buildBody(message->bd_body, id, depth + 1));
        return part;
    }

    MCOAbstractPartPtr buildLeaf(const QString &mimeType, const mailimap_body_fields *fields,
                                 const mailimap_body_ext_1part *ext, const QString &id)
    {
        auto part = std::make_shared<MCOIMAPPart>();
        start(*part, id);
        part->setMimeType(mimeType);
        applyFields(*part, fields, ext);
        if (fields)
            part->setSize(fields->bd_size);
        return part;
    }

    void start(MCOAbstractPart &part, const QString &id)
    {
        part.setPartID(id);
        part.setUniqueID(QLatin1Char('p') + QString::number(m_nextUnique++));
    }

    static void applyFields(MCOAbstractPart &part, const mailimap_body_fields *fields,
                            const mailimap_body_ext_1part *ext)
    {
        QString filename;
        if (ext) {
            applyDisposition(part, ext->bd_disposition, &filename);
            if (ext->bd_loc)
                part.setContentLocation(QString::fromUtf8(ext->bd_loc).remove(QLatin1Char(' ')).trimmed());
        }
        if (fields) {
            const QByteArray params = parameterField(fields->bd_parameter);
            const QString charset = MCOHeaderDecoder::parameter(params, "charset");
            part.setCharset(charset);
            if (filename.isEmpty())
                filename = MCOHeaderDecoder::parameter(params, "name");
            if (fields->bd_id)
                part.setContentID(MCOHeaderDecoder::decodeText(fields->bd_id));
            part.setEncoding(encodingOf(fields->bd_encoding));
        }
        part.setFilename(filename);
    }

    int m_count = 0;
    int m_nextUnique = 0;
    bool m_truncated = false;
};

MCOAddressList addressesOf(clist *list, const QList<QByteArray> &hints)
{
    MCOAddressList out;
    for (clistiter *it = list ? clist_begin(list) : nullptr; it; it = clist_next(it)) {
        const auto *address = static_cast<const mailimap_address *>(clist_content(it));
        // Group start (no host) and group end (no mailbox) markers carry no address.
        if (!address || !address->ad_host_name || !address->ad_mailbox_name)
            continue;
        QString mailbox = QString::fromUtf8(address->ad_mailbox_name);
        if (*address->ad_host_name)
            mailbox += QLatin1Char('@') + QString::fromUtf8(address->ad_host_name);
        const QString name = address->ad_personal_name
            ? MCOHeaderDecoder::decodeText(address->ad_personal_name, hints)
            : QString();
        out.append(MCOAddress(name, mailbox));
    }
    return out;
}

QString joined(const MCOAddressList &list)
{
    QStringList parts;
    for (const MCOAddress &address : list)
        parts.append(address.nonEncodedRFC822String());
    return parts.join(QLatin1String(", "));
}

QDateTime dateOf(const mailimap_date_time *date)
{
    if (!date)
        return {};
    // dt_zone is the offset written as a number: +0200 -> 200, -0530 -> -530.
    const int zone = date->dt_zone;
    const int sign = zone < 0 ? -1 : 1;
    const int offsetSeconds = sign * ((std::abs(zone) / 100) * 3600 + (std::abs(zone) % 100) * 60);
    const QDateTime local(QDate(date->dt_year, date->dt_month, date->dt_day),
                          QTime(date->dt_hour, date->dt_min, date->dt_sec), QTimeZone(offsetSeconds));
    return local.isValid() ? local.toUTC() : QDateTime();
}

// Whether a BODY[...] item is the header of the message itself.
bool isTopLevelHeaderSection(const mailimap_msg_att_body_section *section)
{
    if (!section || !section->sec_section || !section->sec_section->sec_spec)
        return false;
    const auto *what = section->sec_section->sec_spec;
    if (what->sec_type != MAILIMAP_SECTION_SPEC_SECTION_MSGTEXT || !what->sec_data.sec_msgtext)
        return false;
    const int type = what->sec_data.sec_msgtext->sec_type;
    return type == MAILIMAP_SECTION_MSGTEXT_HEADER || type == MAILIMAP_SECTION_MSGTEXT_HEADER_FIELDS
        || type == MAILIMAP_SECTION_MSGTEXT_HEADER_FIELDS_NOT;
}

void applyFlag(const mailimap_flag *flag, MCOIMAPMessage::Flags *flags, QStringList *custom)
{
    if (!flag)
        return;
    switch (flag->fl_type) {
    case MAILIMAP_FLAG_ANSWERED: *flags |= MCOIMAPMessage::FlagAnswered; return;
    case MAILIMAP_FLAG_FLAGGED: *flags |= MCOIMAPMessage::FlagFlagged; return;
    case MAILIMAP_FLAG_DELETED: *flags |= MCOIMAPMessage::FlagDeleted; return;
    case MAILIMAP_FLAG_SEEN: *flags |= MCOIMAPMessage::FlagSeen; return;
    case MAILIMAP_FLAG_DRAFT: *flags |= MCOIMAPMessage::FlagDraft; return;
    case MAILIMAP_FLAG_KEYWORD: {
        const QString keyword = QString::fromUtf8(flag->fl_data.fl_keyword ? flag->fl_data.fl_keyword : "");
        if (keyword.compare(QLatin1String("$MDNSent"), Qt::CaseInsensitive) == 0)
            *flags |= MCOIMAPMessage::FlagMDNSent;
        else if (keyword.compare(QLatin1String("$Forwarded"), Qt::CaseInsensitive) == 0)
            *flags |= MCOIMAPMessage::FlagForwarded;
        else if (!keyword.isEmpty())
            custom->append(keyword);
        return;
    }
    case MAILIMAP_FLAG_EXTENSION:
        if (flag->fl_data.fl_extension)
            custom->append(QLatin1Char('\\') + QString::fromUtf8(flag->fl_data.fl_extension));
        return;
    default:
        return;
    }
}

} // namespace

void MCOIMAPMessage::setMainPart(MCOAbstractPartPtr part)
{
    m_mainPart = std::move(part);
    const MCOPartClassifier::Result sorted = MCOPartClassifier::classifyByStructure(m_mainPart);
    m_bodyTexts = sorted.bodyTexts;
    m_attachments = sorted.attachments;
    m_inlineAttachments = sorted.htmlInlineAttachments;
}

MCOAbstractPartPtr MCOIMAPMessage::partFromBodyStructure(const mailimap_body *body)
{
    BodyBuilder builder;
    MCOAbstractPartPtr root = builder.buildBody(body, QString(), 0);
    if (builder.truncated())
        TLog(QStringLiteral("IMAP body structure deeper than %1 levels or larger than %2 parts; the rest is ignored")
                 .arg(kMaxDepth)
                 .arg(kMaxParts));
    return root;
}

void MCOIMAPMessage::setHeaderFromEnvelope(const mailimap_envelope *envelope)
{
    m_header = MCOMessageHeader();
    if (!envelope)
        return;
    QList<QByteArray> hints;
    if (envelope->env_subject)
        MCOHeaderDecoder::collectCharsets(envelope->env_subject, &hints);

    if (envelope->env_date) {
        m_header.addHeader(QStringLiteral("Date"), MCOHeaderDecoder::decodeText(envelope->env_date));
        m_header.setDate(MCOHeaderDecoder::decodeDate(envelope->env_date));
    }
    if (envelope->env_subject) {
        const QString subject = MCOHeaderDecoder::decodeText(envelope->env_subject, hints);
        m_header.addHeader(QStringLiteral("Subject"), subject);
        m_header.setSubject(subject);
    }
    auto addressField = [&](const char *name, clist *list) {
        const MCOAddressList addresses = addressesOf(list, hints);
        if (!addresses.isEmpty())
            m_header.addHeader(QString::fromLatin1(name), joined(addresses));
        return addresses;
    };
    const MCOAddressList from = addressField("From", envelope->env_from ? envelope->env_from->frm_list : nullptr);
    const MCOAddressList sender =
        addressField("Sender", envelope->env_sender ? envelope->env_sender->snd_list : nullptr);
    m_header.setFrom(from.isEmpty() ? MCOAddress() : from.first());
    m_header.setSender(sender.isEmpty() ? MCOAddress() : sender.first());
    m_header.setReplyTo(addressField("Reply-To", envelope->env_reply_to ? envelope->env_reply_to->rt_list : nullptr));
    m_header.setTo(addressField("To", envelope->env_to ? envelope->env_to->to_list : nullptr));
    m_header.setCc(addressField("Cc", envelope->env_cc ? envelope->env_cc->cc_list : nullptr));
    m_header.setBcc(addressField("Bcc", envelope->env_bcc ? envelope->env_bcc->bcc_list : nullptr));
    if (envelope->env_in_reply_to)
        m_header.addHeader(QStringLiteral("In-Reply-To"), MCOHeaderDecoder::decodeText(envelope->env_in_reply_to));
    if (envelope->env_message_id) {
        m_header.addHeader(QStringLiteral("Message-ID"), MCOHeaderDecoder::decodeText(envelope->env_message_id));
        m_header.setMessageID(MCOHeaderDecoder::decodeMessageID(envelope->env_message_id));
    }
}

void MCOIMAPMessage::setHeaderFromRawData(const QByteArray &headerBytes)
{
    // A header block alone is a message without a body: the parser reads it as such.
    m_header = MCOMessageParser::messageParserWithData(headerBytes)->header();
}

std::shared_ptr<MCOIMAPMessage> MCOIMAPMessage::messageWithFetchAttributes(const mailimap_msg_att *attributes)
{
    auto message = std::make_shared<MCOIMAPMessage>();
    if (!attributes || !attributes->att_list)
        return message;
    const mailimap_envelope *envelope = nullptr;
    const mailimap_body *structure = nullptr;
    const mailimap_body *body = nullptr;
    QByteArray rawHeader;
    Flags flags = FlagNone;
    QStringList custom;
    for (clistiter *it = clist_begin(attributes->att_list); it; it = clist_next(it)) {
        const auto *item = static_cast<const mailimap_msg_att_item *>(clist_content(it));
        if (!item)
            continue;
        if (item->att_type == MAILIMAP_MSG_ATT_ITEM_DYNAMIC && item->att_data.att_dyn) {
            clist *list = item->att_data.att_dyn->att_list;
            for (clistiter *f = list ? clist_begin(list) : nullptr; f; f = clist_next(f)) {
                const auto *fetched = static_cast<const mailimap_flag_fetch *>(clist_content(f));
                if (!fetched)
                    continue;
                if (fetched->fl_type == MAILIMAP_FLAG_FETCH_RECENT)
                    flags |= FlagRecent;
                else
                    applyFlag(fetched->fl_flag, &flags, &custom);
            }
            continue;
        }
        if (item->att_type != MAILIMAP_MSG_ATT_ITEM_STATIC || !item->att_data.att_static)
            continue;
        const mailimap_msg_att_static *att = item->att_data.att_static;
        switch (att->att_type) {
        case MAILIMAP_MSG_ATT_ENVELOPE: envelope = att->att_data.att_env; break;
        case MAILIMAP_MSG_ATT_INTERNALDATE: message->setInternalDate(dateOf(att->att_data.att_internal_date)); break;
        case MAILIMAP_MSG_ATT_RFC822_SIZE: message->setSize(att->att_data.att_rfc822_size); break;
        case MAILIMAP_MSG_ATT_UID: message->setUid(att->att_data.att_uid); break;
        case MAILIMAP_MSG_ATT_BODYSTRUCTURE: structure = att->att_data.att_bodystructure; break;
        case MAILIMAP_MSG_ATT_BODY: body = att->att_data.att_body; break;
        case MAILIMAP_MSG_ATT_RFC822_HEADER:
            if (att->att_data.att_rfc822_header.att_content)
                rawHeader = QByteArray(att->att_data.att_rfc822_header.att_content,
                                       qsizetype(att->att_data.att_rfc822_header.att_length));
            break;
        case MAILIMAP_MSG_ATT_BODY_SECTION:
            if (const mailimap_msg_att_body_section *section = att->att_data.att_body_section;
                isTopLevelHeaderSection(section) && section->sec_body_part)
                rawHeader = QByteArray(section->sec_body_part, qsizetype(section->sec_length));
            break;
        default: break;
        }
    }
    message->setFlags(flags);
    message->setCustomFlags(custom);
    if (!rawHeader.isEmpty())
        message->setHeaderFromRawData(rawHeader);
    else
        message->setHeaderFromEnvelope(envelope);
    message->setMainPartFromBodyStructure(structure ? structure : body);
    return message;
}
