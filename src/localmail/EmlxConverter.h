#pragma once
// EmlxConverter turns the Mail application's `.emlx` files into plain RFC 822 bytes:
// the message is read by its byte-count line, parts that the Mail application stored in
// ".emlxpart" files are put back where it cut them out, and the "Attachments" folder of
// newer Mail versions is found. It also holds the two byte-level clean-ups applied to
// every raw message before it is parsed. Stateless; every failure degrades to the best
// bytes available and logs one line.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <optional>

class EmlxConverter {
public:
    // Part files in the order they are examined: path and whole bytes.
    using PartsMap = QList<QPair<QString, QByteArray>>;

    // The message with its parts put back; `mailappAttachments` (when given) receives
    // the existing "Attachments" folder of the message, or a null string.
    static std::optional<QByteArray> emlxFileToEMLDataWithIntertwinedParts(const QString &path,
                                                                           QString *mailappAttachments);
    // The message bytes of an `.emlx` file (no parts), or nothing for an unusable file.
    static std::optional<QByteArray> emlxFileToEMLData(const QString &path);
    // The existing part files of a "partial.emlx" message, in examination order; nothing
    // when `path` is not a partial message.
    static std::optional<QStringList> emlxparts(const QString &path);
    // The readable part files and their bytes; nothing when there are none.
    static std::optional<PartsMap> emlxpartAttachments(const QString &path);
    // Position in `data` at which the next part is inserted, searching from `position`
    // through `bytesLeft` bytes; the chosen part's bytes go to `partData` (taken out of
    // `parts`). Nothing when no further place is found.
    static std::optional<qsizetype> findNextInsertionPoint(qsizetype position, qsizetype bytesLeft,
                                                           const QByteArray &data, QByteArray *partData,
                                                           PartsMap &parts);
    // The part whose size best fits the X-Apple-Content-Length value that starts at
    // `position` in `data`, taken out of `parts`.
    static std::optional<QByteArray> dataForXAppleContentLength(const QByteArray &data, qsizetype position,
                                                                PartsMap &parts);
    // (parent of the message's folder)/Attachments/(message name less two extensions),
    // when that folder exists.
    static std::optional<QString> findSierraStyleAttachmentsFolder(const QString &path);

    // `data` without its NUL bytes (the same bytes when there are none).
    static QByteArray removeNULLs(const QByteArray &data);
    // Overwrites each "filename*=utf-8''" by eight spaces and "filename=", in place, so
    // the length never changes. For readers that cannot take RFC 2231 parameters; the
    // program's own parsers can, so no parse applies it.
    static void hackFixForMailCoreFailOnAttachmentFilename(QByteArray &data);
    // The clean-up every parse in the program applies: NUL bytes removed. The bytes
    // archived as the message's .eml copy are the uncleaned ones.
    static QByteArray cleanRawMessage(QByteArray data);
};
