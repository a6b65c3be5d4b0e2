#include "SearchIndex/FileAttributes.h"

#include "openmeta/OpenMeta.h"
#include "openmeta/PdfInfo.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <poppler-qt6.h>

#include <memory>

namespace FileAttributes {

namespace {

bool isTextFile(const QString &suffix)
{
    static const QStringList kinds{QStringLiteral("txt"), QStringLiteral("csv"), QStringLiteral("eml"),
                                   QStringLiteral("html"), QStringLiteral("htm"), QStringLiteral("md"),
                                   QStringLiteral("ics"), QStringLiteral("vcf")};
    return kinds.contains(suffix);
}

void readPdf(IndexedFile &out)
{
    // A damaged PDF among thousands would otherwise write Poppler's complaints over the
    // progress line; such a file is simply indexed without its text.
    static const bool quiet = [] {
        Poppler::setDebugErrorFunction([](const QString &, const QVariant &) {}, QVariant());
        return true;
    }();
    (void)quiet;
    std::unique_ptr<Poppler::Document> doc = Poppler::Document::load(out.path);
    if (!doc || doc->isLocked())
        return;
    SearchAttributes &a = out.attributes;
    a.title = doc->info(QStringLiteral("Title"));
    const QString author = doc->info(QStringLiteral("Author"));
    if (!author.isEmpty())
        a.authors = QStringList{author};
    a.creationDate = doc->creationDate();
    a.pageCount = doc->numPages();
    // Both forms of the keywords: the array keeps a keyword with a comma in one piece.
    a.keywords = PdfInfo::presentKeywords(out.path);
    if (a.keywords.isEmpty()) {
        for (const QString &k : doc->info(QStringLiteral("Keywords")).split(u',', Qt::SkipEmptyParts))
            if (!k.trimmed().isEmpty())
                a.keywords.append(k.trimmed());
    }
    for (int i = 0; i < a.pageCount && out.text.size() < kMaxTextChars; ++i) {
        std::unique_ptr<Poppler::Page> page(doc->page(i));
        if (!page)
            continue;
        out.text += page->text(QRectF());
        out.text += u'\n';
    }
    out.text.truncate(kMaxTextChars);
}

void readText(IndexedFile &out)
{
    QFile f(out.path);
    if (!f.open(QIODevice::ReadOnly))
        return;
    const QByteArray bytes = f.read(kMaxTextChars);
    QStringDecoder utf8(QStringDecoder::Utf8);
    out.text = utf8.decode(bytes);
    if (utf8.hasError()) // not UTF-8: most such archive text is Latin-1 or Windows-1252
        out.text = QString::fromLatin1(bytes);
}

} // namespace

IndexedFile read(const QString &path)
{
    IndexedFile out;
    out.path = path;
    const QFileInfo info(path);
    out.mtimeMs = info.lastModified().toMSecsSinceEpoch();
    SearchAttributes &a = out.attributes;
    a.displayName = info.fileName();
    a.size = info.size();
    a.tags = OpenMeta::getUserTags(path);
    const QString suffix = info.suffix().toLower();
    if (suffix == QLatin1String("pdf"))
        readPdf(out);
    else if (isTextFile(suffix))
        readText(out);
    // The archive stamps every output with its message's date as modification time (a
    // creation time cannot be set on Linux): that is the file's date.
    if (!a.creationDate.isValid())
        a.creationDate = info.lastModified();
    return out;
}

} // namespace FileAttributes
