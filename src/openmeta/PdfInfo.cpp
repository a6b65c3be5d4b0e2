#include "openmeta/PdfInfo.h"

#include "Utils/Log.h"

#include <QFile>
#include <QSaveFile>
#include <QSet>

// This code uses std::shared_ptr only, never qpdf's old PointerHolder.
#define POINTERHOLDER_TRANSITION 4
#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFWriter.hh>

#include <exception>
#include <memory>

namespace {

const char *const AppleKeywordsKey = "/AAPL:Keywords";
const char *const MessageIdentityKey = "/TarnwickMessageID";

QStringList keywordsOfInfo(QPDFObjectHandle info)
{
    QStringList out;
    if (!info.isDictionary())
        return out;
    QPDFObjectHandle array = info.getKey(AppleKeywordsKey);
    if (array.isArray()) {
        for (QPDFObjectHandle item : array.aitems())
            if (item.isString())
                out.append(QString::fromStdString(item.getUTF8Value()));
    }
    QPDFObjectHandle keywords = info.getKey("/Keywords");
    if (keywords.isString()) {
        // Writers separate keywords with commas, often followed by a space.
        const QStringList pieces = QString::fromStdString(keywords.getUTF8Value()).split(u',');
        for (const QString &piece : pieces) {
            const QString trimmed = piece.trimmed();
            if (!trimmed.isEmpty())
                out.append(trimmed);
        }
    }
    // Written by this code, the array and the string hold the same keywords.
    out.removeDuplicates();
    return out;
}

QPDFObjectHandle unicode(const QString &text)
{
    return QPDFObjectHandle::newUnicodeString(text.toStdString());
}

void setInfo(QPDF &pdf, const PdfInfoFields &fields)
{
    QPDFObjectHandle trailer = pdf.getTrailer();
    QPDFObjectHandle info = trailer.getKey("/Info");
    if (!info.isDictionary()) {
        info = pdf.makeIndirectObject(QPDFObjectHandle::newDictionary());
        trailer.replaceKey("/Info", info);
    }

    QVariantList present, added;
    for (const QString &k : keywordsOfInfo(info))
        present.append(k);
    for (const QString &k : fields.keywords)
        added.append(k);
    const QStringList keywords = PdfInfo::combineArraysSkipDuplicatesLowercase(present, added);
    QPDFObjectHandle array = QPDFObjectHandle::newArray();
    for (const QString &k : keywords)
        array.appendItem(unicode(k));
    info.replaceKey("/Keywords", unicode(keywords.join(QStringLiteral(", "))));
    info.replaceKey(AppleKeywordsKey, array);

    const std::pair<const char *, QString> texts[] = {
        {"/Author", fields.author}, {"/Title", fields.title},
        {"/Subject", fields.subject}, {"/Creator", fields.creator}};
    for (const auto &[key, value] : texts)
        if (!value.isEmpty())
            info.replaceKey(key, unicode(value));
    if (fields.creationDate.isValid())
        info.replaceKey("/CreationDate", QPDFObjectHandle::newString(PdfInfo::pdfDate(fields.creationDate).toStdString()));
    if (fields.modDate.isValid())
        info.replaceKey("/ModDate", QPDFObjectHandle::newString(PdfInfo::pdfDate(fields.modDate).toStdString()));
    if (!fields.messageIdentity.isEmpty())
        info.replaceKey(MessageIdentityKey, unicode(fields.messageIdentity));
}

// The PDF bytes of `pdf` as it is now; throws what qpdf throws.
QByteArray serialise(QPDF &pdf)
{
    QPDFWriter writer(pdf);
    writer.setOutputMemory();
    writer.write();
    std::unique_ptr<Buffer> buffer(writer.getBuffer());
    return QByteArray(reinterpret_cast<const char *>(buffer->getBuffer()), static_cast<qsizetype>(buffer->getSize()));
}

// A temporary file beside the PDF renamed over it, so that no reader sees half a PDF.
bool saveAtomically(const QByteArray &bytes, const QString &path)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

bool saveDirectly(const QByteArray &bytes, const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(bytes) == bytes.size() && file.flush();
}

} // namespace

QStringList PdfInfo::combineArraysSkipDuplicatesLowercase(const QVariantList &one, const QVariantList &two)
{
    QStringList out;
    QSet<QString> seen;
    for (const QVariantList *list : {&one, &two}) {
        for (const QVariant &element : *list) {
            if (element.typeId() != QMetaType::QString)
                continue;
            const QString lower = element.toString().toLower();
            if (!seen.contains(lower)) {
                seen.insert(lower);
                out.append(lower);
            }
        }
    }
    return out;
}

QString PdfInfo::appName()
{
    return QStringLiteral("org.tarnwick.Tarnwick");
}

QString PdfInfo::appVersion()
{
    return QStringLiteral(TARNWICK_VERSION);
}

QString PdfInfo::creatorString()
{
    return QStringLiteral("%1  version:%2").arg(appName(), appVersion());
}

QString PdfInfo::pdfDate(const QDateTime &date)
{
    return date.toUTC().toString(QStringLiteral("'D:'yyyyMMddHHmmss'Z'"));
}

QStringList PdfInfo::presentKeywords(const QString &path)
{
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.processFile(QFile::encodeName(path).constData());
        return keywordsOfInfo(pdf.getTrailer().getKey("/Info"));
    } catch (const std::exception &) {
        return {};
    }
}

QString PdfInfo::messageIdentity(const QString &path)
{
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.processFile(QFile::encodeName(path).constData());
        QPDFObjectHandle info = pdf.getTrailer().getKey("/Info");
        if (!info.isDictionary())
            return {};
        QPDFObjectHandle value = info.getKey(MessageIdentityKey);
        return value.isString() ? QString::fromStdString(value.getUTF8Value()) : QString();
    } catch (const std::exception &) {
        return {};
    }
}

bool PdfInfo::rewrite(const QString &path, const PdfInfoFields &fields)
{
    QByteArray bytes;
    QString infoDescription;
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.processFile(QFile::encodeName(path).constData());
        setInfo(pdf, fields);
        infoDescription = QString::fromStdString(pdf.getTrailer().getKey("/Info").unparseResolved());
        // The whole new file is made in memory before the old one is touched.
        bytes = serialise(pdf);
    } catch (const std::exception &) {
        return false; // not a PDF qpdf can open: left unchanged
    }

    if (saveAtomically(bytes, path))
        return true;
    // A folder that refuses new files may still let the PDF itself be rewritten.
    QFile file(path);
    if (file.exists() && !file.remove())
        TLog(QStringLiteral("Could not delete the file: %1, error %2").arg(path, file.errorString()));
    if (saveDirectly(bytes, path))
        return true;
    TLog(QStringLiteral("adding keywords did not work, even after trying to delete the file first: %1,  into %2")
             .arg(infoDescription, path));
    return false;
}
