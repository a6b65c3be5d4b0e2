#pragma once
// OpenMeta: user tags and other metadata of a file, kept in extended attributes.
//
// The tag list itself goes to "user.xdg.tags" as comma-separated UTF-8, the freedesktop
// convention that file managers show. The other metadata attributes (the tag time, the
// fallback tag list) are named "user." + "com.apple.metadata:" + key and hold binary
// property lists. Every call works on the path itself and never follows a symbolic link,
// so a link gets its own attributes and its target is left alone.
//
// All operations are stateless; errors are returned, never logged.

#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>

/// An error of an OpenMeta operation: a domain ("openmeta" or "POSIX"), a code (negative
/// for OpenMeta's own errors, errno for POSIX ones) and a readable text.
struct OpenMetaError {
    QString domain;
    int code = 0;
    QString info;
};

/// No value means success.
using OpenMetaResult = std::optional<OpenMetaError>;

class OpenMeta {
public:
    /// Domain of OpenMeta's own errors.
    static const QString ErrorDomain;
    /// Domain of errors of the attribute system calls; the code is errno.
    static const QString PosixErrorDomain;
    /// The largest serialised value, in bytes, that is written.
    static constexpr int MaxValueBytes = 4096;
    /// Key of the date and time the tags were last set.
    static const QString UserTagTimeKey;
    /// Key of the tag list as a property list (the fallback form).
    static const QString UserTagsKey;
    /// The attribute holding the comma-separated tag list.
    static const QString XdgTagsAttribute;

    /// Sets the file's tags to the cleaned `tags` and stamps the current time.
    static OpenMetaResult setUserTags(const QVariant &tags, const QString &path);
    /// Convenience for a list already known to hold strings.
    static OpenMetaResult setUserTags(const QStringList &tags, const QString &path);
    /// Sets the file's tags to the cleaned `tags`, replacing the present ones, and stamps
    /// `date` as the tag time. `tags` must be a list of strings.
    static OpenMetaResult setUserTags(const QVariant &tags, const QString &path, const QDateTime &date);
    /// The file's tags (empty when it has none or cannot be read).
    static QStringList getUserTags(const QString &path, OpenMetaError *error = nullptr);
    /// Adds `tags` to the file's present tags (duplicates removed) and stamps the time.
    static OpenMetaResult addUserTags(const QStringList &tags, const QString &path);

    /// True when `value` is a list whose every element is a string; an empty list passes.
    static bool validateAsArrayOfStrings(const QVariant &value);
    /// NFC forms, each tag once compared in lower case, first spelling and order kept.
    static QStringList removeDuplicateTags(const QStringList &tags);
    /// The one normal form of every string that tags are compared and stored in: NFC.
    static QStringList decomposeArrayOfStrings(const QStringList &strings);
    /// The values of `lowerToTag` in the order of `sortHint` (matched by lower case),
    /// followed by the entries the hint did not name.
    static QStringList orderedArrayWithDict(const QMap<QString, QString> &lowerToTag,
                                            const QStringList &sortHint);

    /// Whether the platform tag facility is used for the tag list. On Linux it always is:
    /// the facility is the "user.xdg.tags" attribute.
    static bool MavericksOrLater();
    /// Writes the tag list (taken as given) to "user.xdg.tags"; an empty list removes it.
    static OpenMetaResult setAppleTags(const QStringList &tags, const QString &path);

    /// Writes a list under `key`; fails with the parameter error when `list` is not a list.
    static OpenMetaResult setNSArrayMetaData(const QVariant &list, const QString &key, const QString &path);
    /// Writes `value` under the metadata attribute of `key`; a null value removes it.
    static OpenMetaResult setXAttrMetaData(const QVariant &value, const QString &key, const QString &path);
    /// Writes `value` as a binary property list under attribute `name` ("user." is put in
    /// front unless present). A null value removes the attribute.
    static OpenMetaResult setXAttr(const QVariant &value, const QString &name, const QString &path);
    /// Reads the property list stored under attribute `name`; null when absent or unreadable.
    static QVariant getXAttr(const QString &name, const QString &path, OpenMetaError *error = nullptr);

    /// "com.apple.metadata:" + key.
    static QString spotlightKey(const QString &key);
    /// "errno error: <number>, <system text>".
    static QString errnoString(int errnum);

    /// The binary property list of `value` (strings, numbers, booleans, dates, byte
    /// arrays, lists and string-keyed maps); empty with `error` set when some part has
    /// no property-list form.
    static QByteArray binaryPropertyList(const QVariant &value, QString *error = nullptr);
    /// The value of a binary property list; null when `data` is not one.
    static QVariant valueOfPropertyList(const QByteArray &data);

private:
    static QString linuxAttributeName(const QString &name);
    static OpenMetaResult writeAttribute(const QString &name, const QByteArray &bytes, const QString &path);
    static OpenMetaResult removeAttribute(const QString &name, const QString &path, bool absentIsFine);
};
