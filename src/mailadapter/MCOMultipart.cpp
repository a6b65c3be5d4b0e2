#include "mailadapter/MCOMultipart.h"

QString MCOMultipart::subtype() const
{
    const qsizetype slash = mimeType().indexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : mimeType().mid(slash + 1);
}
