#include "openmeta/OpenMeta.h"

#include <QFile>
#include <QTimeZone>

#include <plist/plist.h>

#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

const QString OpenMeta::ErrorDomain = QStringLiteral("openmeta");
const QString OpenMeta::PosixErrorDomain = QStringLiteral("POSIX");
const QString OpenMeta::UserTagTimeKey = QStringLiteral("kMDItemOMUserTagTime");
const QString OpenMeta::UserTagsKey = QStringLiteral("kMDItemOMUserTags");
const QString OpenMeta::XdgTagsAttribute = QStringLiteral("user.xdg.tags");

namespace {

// Property-list dates count from 2001-01-01 00:00:00 UTC.
constexpr qint64 PlistEpochOffsetSeconds = 978307200;

OpenMetaError parameterError(const QString &info)
{
    return {OpenMeta::ErrorDomain, -1, info};
}

OpenMetaError posixError(int errnum)
{
    return {OpenMeta::PosixErrorDomain, errnum, OpenMeta::errnoString(errnum)};
}

// The file-system form of a path; empty when there is none.
QByteArray fileSystemPath(const QString &path)
{
    return path.isEmpty() ? QByteArray() : QFile::encodeName(path);
}

struct PlistDeleter {
    void operator()(void *node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// Builds the node of `value`; null with `error` set when some part has no plist form.
plist_t nodeForValue(const QVariant &value, QString *error)
{
    switch (value.typeId()) {
    case QMetaType::QString: {
        const QByteArray utf8 = value.toString().toUtf8();
        return plist_new_string(utf8.constData());
    }
    case QMetaType::Bool:
        return plist_new_bool(value.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return plist_new_uint(value.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return plist_new_real(value.toDouble());
    case QMetaType::QByteArray: {
        const QByteArray data = value.toByteArray();
        return plist_new_data(data.constData(), static_cast<uint64_t>(data.size()));
    }
    case QMetaType::QDateTime: {
        const QDateTime date = value.toDateTime();
        if (!date.isValid())
            break;
        const qint64 ms = date.toMSecsSinceEpoch() - PlistEpochOffsetSeconds * 1000;
        qint64 sec = ms / 1000;
        qint64 msRest = ms % 1000;
        if (msRest < 0) { // keep the microseconds non-negative
            sec -= 1;
            msRest += 1000;
        }
        return plist_new_date(static_cast<int32_t>(sec), static_cast<int32_t>(msRest * 1000));
    }
    case QMetaType::QStringList:
    case QMetaType::QVariantList: {
        PlistPtr array(plist_new_array());
        for (const QVariant &item : value.toList()) {
            plist_t child = nodeForValue(item, error);
            if (!child)
                return nullptr;
            plist_array_append_item(array.get(), child);
        }
        return array.release();
    }
    case QMetaType::QVariantMap: {
        PlistPtr dict(plist_new_dict());
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            plist_t child = nodeForValue(it.value(), error);
            if (!child)
                return nullptr;
            plist_dict_set_item(dict.get(), it.key().toUtf8().constData(), child);
        }
        return dict.release();
    }
    default:
        break;
    }
    if (error)
        *error = QStringLiteral("Property list serialisation: a value of type %1 has no property-list form")
                     .arg(QString::fromLatin1(value.typeName() ? value.typeName() : "invalid"));
    return nullptr;
}

QVariant valueForNode(plist_t node)
{
    switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
        char *text = nullptr;
        plist_get_string_val(node, &text);
        const QString s = QString::fromUtf8(text);
        free(text);
        return s;
    }
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return b != 0;
    }
    case PLIST_UINT: {
        uint64_t n = 0;
        plist_get_uint_val(node, &n);
        return QVariant::fromValue<qulonglong>(n);
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return d;
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        const qint64 ms = (static_cast<qint64>(sec) + PlistEpochOffsetSeconds) * 1000 + usec / 1000;
        return QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc());
    }
    case PLIST_DATA: {
        char *data = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &data, &length);
        const QByteArray bytes(data, static_cast<qsizetype>(length));
        free(data);
        return bytes;
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t n = plist_array_get_size(node);
        for (uint32_t i = 0; i < n; ++i)
            list.append(valueForNode(plist_array_get_item(node, i)));
        return list;
    }
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (;;) {
            char *key = nullptr;
            plist_t child = nullptr;
            plist_dict_next_item(node, it, &key, &child);
            if (!child)
                break;
            map.insert(QString::fromUtf8(key), valueForNode(child));
            free(key);
        }
        free(it); // the iterator is plain malloc'ed memory
        return map;
    }
    default:
        return {};
    }
}

} // namespace

OpenMetaResult OpenMeta::setUserTags(const QVariant &tags, const QString &path)
{
    return setUserTags(tags, path, QDateTime::currentDateTimeUtc());
}

OpenMetaResult OpenMeta::setUserTags(const QStringList &tags, const QString &path)
{
    return setUserTags(QVariant(tags), path);
}

OpenMetaResult OpenMeta::setUserTags(const QVariant &tags, const QString &path, const QDateTime &date)
{
    // Checked before anything is written, so that a bad list leaves no tag time behind.
    if (!validateAsArrayOfStrings(tags))
        return parameterError(QStringLiteral("Open Meta SYNC parameter error"));
    const QStringList cleaned = removeDuplicateTags(tags.toStringList());

    // The time is a hint for sync tools; a failure here must not stop the tags.
    (void)setXAttrMetaData(date, UserTagTimeKey, path);

    if (MavericksOrLater())
        return setAppleTags(cleaned, path);
    return setNSArrayMetaData(QVariant(cleaned), UserTagsKey, path);
}

QStringList OpenMeta::getUserTags(const QString &path, OpenMetaError *error)
{
    const QByteArray fsPath = fileSystemPath(path);
    if (fsPath.isEmpty()) {
        if (error)
            *error = parameterError(QStringLiteral("Open Meta parameter error"));
        return {};
    }
    const QByteArray name = XdgTagsAttribute.toUtf8();
    const ssize_t size = lgetxattr(fsPath.constData(), name.constData(), nullptr, 0);
    if (size < 0) {
        // No attribute is simply no tags.
        if (error && errno != ENODATA)
            *error = posixError(errno);
        return {};
    }
    QByteArray value(size, '\0');
    const ssize_t got = lgetxattr(fsPath.constData(), name.constData(), value.data(), value.size());
    if (got < 0) {
        if (error)
            *error = posixError(errno);
        return {};
    }
    value.truncate(got);
    return QString::fromUtf8(value).split(u',', Qt::SkipEmptyParts);
}

OpenMetaResult OpenMeta::addUserTags(const QStringList &tags, const QString &path)
{
    OpenMetaError readError;
    QStringList all = getUserTags(path, &readError);
    if (!readError.domain.isEmpty())
        return readError;
    all += tags;
    return setUserTags(all, path);
}

bool OpenMeta::validateAsArrayOfStrings(const QVariant &value)
{
    if (value.typeId() == QMetaType::QStringList)
        return true;
    if (value.typeId() != QMetaType::QVariantList)
        return false;
    const QVariantList list = value.toList();
    return std::all_of(list.cbegin(), list.cend(),
                       [](const QVariant &v) { return v.typeId() == QMetaType::QString; });
}

QStringList OpenMeta::removeDuplicateTags(const QStringList &tags)
{
    const QStringList decomposed = decomposeArrayOfStrings(tags);
    QMap<QString, QString> lowerToTag;
    for (const QString &tag : decomposed)
        lowerToTag.insert(tag.toLower(), tag);
    return orderedArrayWithDict(lowerToTag, decomposed);
}

QStringList OpenMeta::decomposeArrayOfStrings(const QStringList &strings)
{
    QStringList out;
    out.reserve(strings.size());
    // Composed (NFC), whatever the name says: Linux tools compare tag text byte for byte,
    // and NFC is what keyboards and file managers produce.
    for (const QString &s : strings)
        out.append(s.normalized(QString::NormalizationForm_C));
    return out;
}

QStringList OpenMeta::orderedArrayWithDict(const QMap<QString, QString> &lowerToTag, const QStringList &sortHint)
{
    QMap<QString, QString> remaining = lowerToTag;
    QStringList out;
    for (const QString &tag : sortHint) {
        // The hint's own spelling wins: it is the first occurrence of that tag.
        if (remaining.remove(tag.toLower()) > 0)
            out.append(tag);
    }
    for (const QString &tag : std::as_const(remaining))
        out.append(tag);
    return out;
}

bool OpenMeta::MavericksOrLater()
{
    return true;
}

OpenMetaResult OpenMeta::setAppleTags(const QStringList &tags, const QString &path)
{
    if (fileSystemPath(path).isEmpty())
        return parameterError(QStringLiteral("Open Meta parameter error"));
    if (tags.isEmpty())
        return removeAttribute(XdgTagsAttribute, path, /*absentIsFine=*/true);
    const QByteArray joined = tags.join(u',').toUtf8();
    if (joined.size() > MaxValueBytes)
        return OpenMetaError{ErrorDomain, -5,
                             QStringLiteral("Meta data is too big - size as binary plist must be less than "
                                            "(perhaps 4k?) some number of bytes")};
    return writeAttribute(XdgTagsAttribute, joined, path);
}

OpenMetaResult OpenMeta::setNSArrayMetaData(const QVariant &list, const QString &key, const QString &path)
{
    if (list.typeId() != QMetaType::QStringList && list.typeId() != QMetaType::QVariantList)
        return parameterError(QStringLiteral("Open Meta parameter error"));
    return setXAttrMetaData(list, key, path);
}

OpenMetaResult OpenMeta::setXAttrMetaData(const QVariant &value, const QString &key, const QString &path)
{
    return setXAttr(value, spotlightKey(key), path);
}

OpenMetaResult OpenMeta::setXAttr(const QVariant &value, const QString &name, const QString &path)
{
    if (fileSystemPath(path).isEmpty())
        return parameterError(QStringLiteral("Open Meta parameter error"));
    QByteArray data;
    if (value.isValid()) {
        QString serialiseError;
        data = binaryPropertyList(value, &serialiseError);
        if (data.isEmpty())
            return OpenMetaError{ErrorDomain, -2, serialiseError};
        if (data.size() > MaxValueBytes)
            return OpenMetaError{ErrorDomain, -5,
                                 QStringLiteral("Meta data is too big - size as binary plist must be less than "
                                                "(perhaps 4k?) some number of bytes")};
    }
    if (data.isEmpty())
        return removeAttribute(linuxAttributeName(name), path, /*absentIsFine=*/false);
    return writeAttribute(linuxAttributeName(name), data, path);
}

QVariant OpenMeta::getXAttr(const QString &name, const QString &path, OpenMetaError *error)
{
    const QByteArray fsPath = fileSystemPath(path);
    if (fsPath.isEmpty()) {
        if (error)
            *error = parameterError(QStringLiteral("Open Meta parameter error"));
        return {};
    }
    const QByteArray attr = linuxAttributeName(name).toUtf8();
    const ssize_t size = lgetxattr(fsPath.constData(), attr.constData(), nullptr, 0);
    if (size < 0) {
        if (error)
            *error = posixError(errno);
        return {};
    }
    QByteArray value(size, '\0');
    const ssize_t got = lgetxattr(fsPath.constData(), attr.constData(), value.data(), value.size());
    if (got < 0) {
        if (error)
            *error = posixError(errno);
        return {};
    }
    value.truncate(got);
    return valueOfPropertyList(value);
}

QString OpenMeta::spotlightKey(const QString &key)
{
    return QStringLiteral("com.apple.metadata:") + key;
}

QString OpenMeta::errnoString(int errnum)
{
    return QStringLiteral("errno error: %1, %2").arg(errnum).arg(qt_error_string(errnum));
}

QByteArray OpenMeta::binaryPropertyList(const QVariant &value, QString *error)
{
    PlistPtr root(nodeForValue(value, error));
    if (!root)
        return {};
    char *bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(root.get(), &bin, &length);
    if (!bin) {
        if (error)
            *error = QStringLiteral("Property list serialisation failed");
        return {};
    }
    const QByteArray out(bin, static_cast<qsizetype>(length));
    plist_to_bin_free(bin);
    return out;
}

QVariant OpenMeta::valueOfPropertyList(const QByteArray &data)
{
    if (data.isEmpty())
        return {};
    plist_t node = nullptr;
    plist_from_bin(data.constData(), static_cast<uint32_t>(data.size()), &node);
    if (!node)
        return {};
    PlistPtr root(node);
    return valueForNode(root.get());
}

QString OpenMeta::linuxAttributeName(const QString &name)
{
    // Unprivileged processes may only write the user namespace.
    return name.startsWith(QLatin1String("user.")) ? name : QStringLiteral("user.") + name;
}

OpenMetaResult OpenMeta::writeAttribute(const QString &name, const QByteArray &bytes, const QString &path)
{
    const QByteArray fsPath = fileSystemPath(path);
    const QByteArray attr = name.toUtf8();
    if (lsetxattr(fsPath.constData(), attr.constData(), bytes.constData(), static_cast<size_t>(bytes.size()), 0) != 0)
        return posixError(errno);
    return std::nullopt;
}

OpenMetaResult OpenMeta::removeAttribute(const QString &name, const QString &path, bool absentIsFine)
{
    const QByteArray fsPath = fileSystemPath(path);
    const QByteArray attr = name.toUtf8();
    if (lremovexattr(fsPath.constData(), attr.constData()) != 0) {
        if (absentIsFine && errno == ENODATA)
            return std::nullopt;
        return posixError(errno);
    }
    return std::nullopt;
}
