#pragma once
// The mail framework's HTML rendering of a parsed message: one HTML fragment holding
// the header block, the bodies, the image blocks and the attachment blocks, built from
// the templates of an MCOHTMLRendererDelegate (see there for the placeholders).
//
// How the tree is walked:
//   * multipart/alternative: the last alternative holding an HTML body (a
//     multipart/related counts as HTML), else the last holding a plain-text body, else
//     the last one;
//   * multipart/related: its root first (the first part; when that holds no body text,
//     the first part that does, since the "start" parameter is not kept by the parser),
//     then the remaining parts; those referenced from the HTML are left to the "cid:" URLs;
//   * other multiparts: every part in order, with the attachment separator where
//     bodies and attachment blocks meet;
//   * message/rfc822: its header block and its body, wrapped by the embedded template;
//   * body texts (see MCOMessageParser.h): text/plain escaped in a pre-wrap block,
//     text/html reduced to what its <body> holds (see htmlBodyFragment);
//   * any other leaf: an image block when the delegate can preview it, else an
//     attachment block; leaves in htmlInlineAttachments() are not shown as blocks.
//
// The result depends on nothing but the message and the delegate: no locale, no zone,
// no clock.

#include "mailadapter/MCOHTMLRendererDelegate.h"
#include "mailadapter/MCOMessageParser.h"

#include <QDateTime>
#include <QString>

class MCOHTMLRenderer {
public:
    // The whole message as one HTML fragment (no <html>/<head> wrapper; the caller loads
    // it as a page). `delegate` may be null (all defaults). Never throws; a message
    // without parts gives its header block.
    static QString htmlForMessage(const MCOMessageParser &message, MCOHTMLRendererDelegate *delegate);

    // The scheme of the URLs of image blocks, followed by ":" and the part's unique ID.
    static constexpr const char *kImageScheme = "x-mailcore-image";

    // What an HTML document shows inside its <body>: the <html>, <head>, <body>,
    // <title>, <base>, doctype and comments go, <script> elements go, <meta> elements
    // carrying a charset or an http-equiv go (so that the page is never decoded again
    // under a contradicting charset); <style> elements of the head are kept in front
    // and the body's own style is kept on a wrapping <div>. Linear in the length of `html`.
    static QString htmlBodyFragment(const QString &html);

    // Plain text as HTML: escaped, line breaks kept, long lines wrapped to the page width.
    static QString plainTextToHTML(const QString &text);

    // text/enriched (RFC 1896) as plain text: formatting commands dropped, "<<" read as
    // "<", line breaks read as the format defines them.
    static QString enrichedToPlainText(const QString &enriched);

    // "&", "<", ">", double and single quotes as entities.
    static QString escapeHTML(const QString &text);

    // "Saturday, 18 January 2014 at 08:16:20 UTC": `date` in UTC, English names. Empty
    // for an invalid date.
    static QString formattedDate(const QDateTime &date);

    // "0 bytes", "1 byte", "512 bytes", "12 KB", "1.5 MB", "2 GB" (units of 1024,
    // kilobytes rounded to whole numbers, larger units to one decimal).
    static QString formattedSize(qint64 bytes);
};
