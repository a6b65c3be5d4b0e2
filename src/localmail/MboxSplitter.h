#pragma once
// MboxSplitter cuts an mbox file into one file per message, streaming: memory stays
// bounded by the read block whatever the size of the file or of one message.
//
// The pieces are exactly those of the whole-file rule: the data is first cleaned
// (CR line ends to LF, NUL bytes removed); a message runs from its "From " separator line
// (offset 0) or from the line feed before it (later messages) to the next "\nFrom " found
// at least 10 bytes after its start; the separator line itself is left out; a remainder
// shorter than 100 bytes is dropped; a piece is named "m_<end offset>.eml" after the
// cleaned offset at which it ends. Pieces and their folders are owner-only.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

class MboxSplitter {
public:
    // Called after each piece is written, with its path.
    using PieceHandler = std::function<void(const QString &piecePath)>;

    // Splits `mboxPath` into `pieceFolder` (which must exist). Returns false when the file
    // cannot be read; pieces written before a failure stay.
    static bool split(const QString &mboxPath, const QString &pieceFolder, const PieceHandler &onPiece,
                      qsizetype blockSize = 1 << 20);

    // The line-end clean-up for a complete buffer: CR next to an LF is dropped, a lone CR
    // becomes LF. Data without CR comes back unchanged.
    static QByteArray cleanUpLineEndings(const QByteArray &data);
};
