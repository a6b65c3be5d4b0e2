#pragma once
// The questions MCOHTMLRenderer asks while it builds the HTML page of a message. Every
// question has an answer here, so a delegate overrides only what it wants to change
// (the message view supplies its message and attachment templates and its preview rule).
//
// Templates are mustache (kainjow). Text placeholders ({{FILENAME}}, {{SUBJECT}}, ...)
// are inserted HTML-escaped. The placeholders that carry finished HTML — HEADER and
// BODY of the message and embedded-message templates — are inserted as they are, whether
// the template writes them with two braces or three.
//
// Placeholders by template:
//   message, embedded message: {{HEADER}}, {{BODY}}
//   main header, embedded message header: {{FROM}}, {{TO}}, {{CC}}, {{BCC}},
//       {{SUBJECT}}, {{DATE}} ("Saturday, 18 January 2014 at 08:16:20 UTC") and, for
//       each, a section {{#HASFROM}}...{{/HASFROM}} shown when the field is present
//   image, attachment: {{URL}} ("x-mailcore-image:" + unique ID), {{CONTENTID}},
//       {{UNIQUEID}}, {{FILENAME}} ("Untitled.pdf" and the like for a part without
//       a name), {{MIMETYPE}}, {{SIZE}} ("12 KB"),
//       {{#HASSIZE}}...{{/HASSIZE}} and {{#NOSIZE}}...{{/NOSIZE}}, {{#HASCONTENTID}}
//       ...{{/HASCONTENTID}}
//   attachment separator: none
//
// A template that is not valid mustache is not dropped: its placeholders are replaced
// literally and the rest of its text is kept (and one line is logged).

#include "mailadapter/MCOAbstractMessage.h"
#include "mailadapter/MCOAbstractPart.h"
#include "mailadapter/MCOMessageHeader.h"
#include "mailadapter/MCOMessagePart.h"

#include <QString>

class MCOHTMLRendererDelegate {
public:
    virtual ~MCOHTMLRendererDelegate() = default;

    // True when `part` is shown as an image block rather than as an attachment block.
    // Default: MIME type image/png, image/gif, image/jpg or image/jpeg, or a file name
    // ending in .png, .gif, .jpg or .jpeg (case ignored).
    virtual bool canPreviewPart(const MCOAbstractPart &part);

    // False to leave `part` (a leaf or an attached message) out of the page. Default true.
    virtual bool shouldShowPart(const MCOAbstractPart &part);

    // The template of the whole page. Null QString: the built-in one.
    virtual QString templateForMessage(const MCOAbstractMessage &message);
    // The template of the header block of the message. Null QString: the built-in one.
    virtual QString templateForMainHeader(const MCOMessageHeader &header);
    // The template of a previewable part. Null QString: the built-in `<img src="{{URL}}"/>`.
    virtual QString templateForImage(const MCOAbstractPart &part);
    // The template of any other attachment. Null QString: the built-in one (file name and size).
    virtual QString templateForAttachment(const MCOAbstractPart &part);
    // The template wrapping an attached message/rfc822. Null QString: the built-in one.
    virtual QString templateForEmbeddedMessage(const MCOMessagePart &part);
    // The template of an attached message's header block. Null QString: the built-in one.
    virtual QString templateForEmbeddedMessageHeader(const MCOMessageHeader &header);
    // Put between a body and the attachment blocks that follow or precede it. Null
    // QString: the built-in thin rule.
    virtual QString templateForAttachmentSeparator();

    // The HTML of one body text (text/plain or text/html, already converted) before it is
    // placed in the page. Default: unchanged.
    virtual QString filteredHTMLForPart(const QString &html);
    // The finished page. Default: unchanged.
    virtual QString filteredHTMLForMessage(const QString &html);
};
