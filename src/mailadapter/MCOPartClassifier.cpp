#include "mailadapter/MCOPartClassifier.h"

#include "mailadapter/MCOMultipart.h"

#include <QUrl>

namespace {

struct Leaf {
    MCOAbstractPartPtr part;
    bool insideRelated = false;
};

// Trees come from the bounded builders; the bound here only guards hand-made ones.
constexpr int kMaxDepth = 256;

void collectLeaves(const MCOAbstractPartPtr &part, bool insideRelated, int depth, QList<MCOAbstractPartPtr> *bodies,
                   QList<Leaf> *others)
{
    if (!part || depth > kMaxDepth)
        return;
    switch (part->kind()) {
    case MCOAbstractPart::Kind::Single:
        if (MCOPartClassifier::isBodyText(*part))
            bodies->append(part);
        else
            others->append({part, insideRelated});
        return;
    case MCOAbstractPart::Kind::Multipart: {
        const bool related = insideRelated || part->mimeType() == QLatin1String("multipart/related");
        for (const MCOAbstractPartPtr &child : part->childParts())
            collectLeaves(child, related, depth + 1, bodies, others);
        return;
    }
    case MCOAbstractPart::Kind::Message:
        // An attached message starts a document of its own.
        for (const MCOAbstractPartPtr &child : part->childParts())
            collectLeaves(child, false, depth + 1, bodies, others);
        return;
    }
}

bool isUrlEnd(QChar c)
{
    return c == QLatin1Char('"') || c == QLatin1Char('\'') || c == QLatin1Char('<') || c == QLatin1Char('>')
        || c == QLatin1Char(')') || c.isSpace() || c == QLatin1Char('\\');
}

} // namespace

bool MCOPartClassifier::isBodyText(const MCOAbstractPart &part)
{
    if (part.kind() != MCOAbstractPart::Kind::Single)
        return false;
    const QString &type = part.mimeType();
    if (type != QLatin1String("text/plain") && type != QLatin1String("text/html")
        && type != QLatin1String("text/enriched"))
        return false;
    return part.disposition() != MCOAbstractPart::Disposition::Attachment && part.filename().isEmpty();
}

QSet<QString> MCOPartClassifier::cidReferences(const QString &html)
{
    QSet<QString> out;
    qsizetype at = 0;
    while ((at = html.indexOf(QLatin1String("cid:"), at, Qt::CaseInsensitive)) >= 0) {
        qsizetype end = at + 4;
        while (end < html.size() && !isUrlEnd(html[end]))
            ++end;
        QString id = QUrl::fromPercentEncoding(html.mid(at + 4, end - at - 4).toUtf8()).trimmed();
        if (id.startsWith(QLatin1Char('<')) && id.endsWith(QLatin1Char('>')))
            id = id.mid(1, id.size() - 2);
        if (!id.isEmpty())
            out.insert(id.toLower());
        at = end;
    }
    return out;
}

bool MCOPartClassifier::referencesLocation(const QString &html, const QString &location)
{
    if (location.isEmpty())
        return false;
    qsizetype at = 0;
    while ((at = html.indexOf(location, at, Qt::CaseInsensitive)) >= 0) {
        const qsizetype end = at + location.size();
        const QChar before = at > 0 ? html[at - 1] : QLatin1Char(' ');
        const QChar after = end < html.size() ? html[end] : QLatin1Char(' ');
        const bool startsUrl = before == QLatin1Char('"') || before == QLatin1Char('\'') || before == QLatin1Char('=')
            || before == QLatin1Char('(') || before.isSpace();
        if (startsUrl && isUrlEnd(after))
            return true;
        at = end;
    }
    return false;
}

MCOPartClassifier::Result MCOPartClassifier::classify(const MCOAbstractPartPtr &root, const HTMLText &htmlText)
{
    Result result;
    QList<Leaf> others;
    collectLeaves(root, false, 0, &result.bodyTexts, &others);

    bool anyReferable = false;
    for (const Leaf &leaf : others)
        anyReferable = anyReferable || !leaf.part->contentID().isEmpty() || !leaf.part->contentLocation().isEmpty();
    QStringList htmls;
    QSet<QString> cids;
    if (anyReferable && htmlText) {
        for (const MCOAbstractPartPtr &body : std::as_const(result.bodyTexts)) {
            if (body->mimeType() != QLatin1String("text/html"))
                continue;
            htmls.append(htmlText(*body));
            cids.unite(cidReferences(htmls.last()));
        }
    }
    for (const Leaf &leaf : others) {
        const MCOAbstractPart &part = *leaf.part;
        bool referenced = !part.contentID().isEmpty() && cids.contains(part.contentID().toLower());
        for (qsizetype i = 0; !referenced && !part.contentLocation().isEmpty() && i < htmls.size(); ++i)
            referenced = referencesLocation(htmls[i], part.contentLocation());
        (referenced ? result.htmlInlineAttachments : result.attachments).append(leaf.part);
    }
    return result;
}

MCOPartClassifier::Result MCOPartClassifier::classifyByStructure(const MCOAbstractPartPtr &root)
{
    Result result;
    QList<Leaf> others;
    collectLeaves(root, false, 0, &result.bodyTexts, &others);
    for (const Leaf &leaf : others) {
        const bool referable = !leaf.part->contentID().isEmpty() || !leaf.part->contentLocation().isEmpty();
        (referable && leaf.insideRelated ? result.htmlInlineAttachments : result.attachments).append(leaf.part);
    }
    return result;
}
