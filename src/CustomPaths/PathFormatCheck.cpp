#include "CustomPaths/PathFormatCheck.h"

#include "CustomPaths/CustomPath.h"

namespace {

// Shorter formats switch their output off.
constexpr qsizetype kMinFormatLength = 5;

} // namespace

bool PathFormatCheck::isKind(const QString &kind)
{
    return kind == QLatin1String("pdf") || kind == QLatin1String("attachment") || kind == QLatin1String("eml");
}

QString PathFormatCheck::rejectionReason(const QString &kind, const QString &format)
{
    if (!isKind(kind))
        return QStringLiteral("'%1' is not a format kind (pdf, attachment or eml)").arg(kind);
    for (QChar c : format)
        if (c.category() == QChar::Other_Control)
            return QStringLiteral("a path format cannot hold control characters such as line breaks or tabs");
    if (format.size() < kMinFormatLength)
        return QString();
    if (CustomPath::getExample(format).isEmpty())
        return QStringLiteral("the format expands to an empty path on the sample message");
    if (kind == QLatin1String("attachment") && !format.contains(QLatin1String("__filename__")))
        return QStringLiteral("an attachment format needs __filename__, or every attachment of a message gets "
                              "the same name and only the first is kept");
    return QString();
}
