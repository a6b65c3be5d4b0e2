#include "localmail/MboxSplitter.h"

#include "localmail/MailStores.h"

#include "Utils/Log.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

#include <cstring>

namespace {

// Cleans raw mbox bytes block by block. A CR's fate depends on both neighbours, so the
// last raw byte and a CR at the very end of a block are carried to the next block.
class CleaningReader {
public:
    explicit CleaningReader(QFile &file, qsizetype blockSize) : m_file(file), m_block(blockSize) {}

    // Appends the next cleaned bytes to `out`; false at the end of the file.
    bool readInto(QByteArray &out)
    {
        if (m_eof)
            return false;
        QByteArray raw(m_block, Qt::Uninitialized);
        const qint64 n = m_file.read(raw.data(), m_block);
        if (n <= 0) {
            m_eof = true;
            if (m_pendingCR)
                out.append('\n'); // a CR at the very end: its next byte counts as a space
            m_pendingCR = false;
            return false;
        }
        const char *p = raw.constData();
        const char *const end = p + n;
        while (p < end) {
            if (m_pendingCR) {
                // The CR before this byte: dropped beside an LF, else a line end.
                if (!m_crAfterLF && *p != '\n')
                    out.append('\n');
                m_pendingCR = false;
            }
            // Copy the run of ordinary bytes in one go.
            const char *q = p;
            while (q < end && *q != '\r' && *q != '\0')
                ++q;
            if (q > p) {
                out.append(p, q - p);
                m_previous = q[-1];
                p = q;
                continue;
            }
            if (*p == '\r') {
                m_pendingCR = true;
                m_crAfterLF = m_previous == '\n';
            }
            m_previous = *p;
            ++p;
        }
        return true;
    }

private:
    QFile &m_file;
    qsizetype m_block;
    bool m_eof = false;
    bool m_pendingCR = false;
    bool m_crAfterLF = false;
    char m_previous = ' '; // before the first byte counts as a space
};

// A window over the cleaned stream: bytes from absolute offset `start` on.
struct Window {
    CleaningReader &reader;
    QByteArray bytes;
    qint64 start = 0;
    bool eof = false;

    qint64 end() const { return start + bytes.size(); }
    bool more()
    {
        if (eof)
            return false;
        if (!reader.readInto(bytes))
            eof = true;
        return true;
    }
    // Keeps only the bytes at and after `offset`.
    void dropBefore(qint64 offset)
    {
        const qint64 n = qMin<qint64>(offset - start, bytes.size());
        if (n > 0) {
            bytes.remove(0, n);
            start += n;
        }
    }
    const char *at(qint64 offset) const { return bytes.constData() + (offset - start); }
};

// One piece being written: a private (0600) file under a temporary name, renamed to its
// final name once complete. Plain descriptors: thousands of pieces a second.
class PieceFile {
public:
    explicit PieceFile(const QString &folder)
        : m_temp(QFile::encodeName(folder + QStringLiteral("/.m_pending_%1.part").arg(::getpid())))
    {
        m_fd = ::open(m_temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (m_fd < 0)
            m_errno = errno;
    }
    ~PieceFile()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
            ::unlink(m_temp.constData());
        }
    }
    bool isOpen() const { return m_fd >= 0; }
    QString error() const { return QString::fromLocal8Bit(strerror(m_errno)); }
    void write(const char *data, qint64 size)
    {
        while (size > 0 && m_errno == 0) {
            const ssize_t n = ::write(m_fd, data, size_t(size));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                m_errno = n < 0 ? errno : EIO;
                return;
            }
            data += n;
            size -= n;
        }
    }
    bool commitAs(const QString &name)
    {
        const int fd = std::exchange(m_fd, -1);
        if (::close(fd) != 0 && m_errno == 0)
            m_errno = errno;
        if (m_errno == 0 && ::rename(m_temp.constData(), QFile::encodeName(name).constData()) != 0)
            m_errno = errno;
        if (m_errno != 0)
            ::unlink(m_temp.constData());
        return m_errno == 0;
    }

private:
    QByteArray m_temp;
    int m_fd = -1;
    int m_errno = 0;
};

const QByteArray kSeparator = QByteArrayLiteral("\nFrom ");

} // namespace

QByteArray MboxSplitter::cleanUpLineEndings(const QByteArray &data)
{
    if (!data.contains('\r'))
        return data;
    QByteArray out;
    out.reserve(data.size());
    const qsizetype n = data.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char c = data[i];
        if (c != '\r') {
            out.append(c);
            continue;
        }
        const char previous = i > 0 ? data[i - 1] : ' ';
        const char next = i + 1 < n ? data[i + 1] : ' ';
        if (previous != '\n' && next != '\n')
            out.append('\n');
    }
    return out;
}

bool MboxSplitter::split(const QString &mboxPath, const QString &pieceFolder, const PieceHandler &onPiece,
                         qsizetype blockSize)
{
    // Read without touching the file's access time where it is ours: reading never
    // changes a mail store.
    QFile file;
    const int fd = MailStores::openForReading(mboxPath);
    if (fd < 0)
        return false;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    CleaningReader reader(file, blockSize);
    Window w{reader, {}, 0, false};

    qint64 offset = 0;
    for (;;) {
        // Fewer than 100 bytes left: the loop ends; a tiny last message is never extracted.
        while (w.end() < offset + 100 && w.more()) {
        }
        if (w.end() - offset < 100)
            return true;

        // The separator line ends at the first line feed from offset + 2.
        qint64 firstLF = -1;
        for (qint64 from = offset + 2;;) {
            if (from < w.end()) {
                const void *hit = memchr(w.at(from), '\n', size_t(w.end() - from));
                if (hit) {
                    firstLF = w.start + (static_cast<const char *>(hit) - w.bytes.constData());
                    break;
                }
                from = w.end();
            }
            w.dropBefore(from);
            if (!w.more())
                break;
        }
        if (firstLF < 0) {
            TLog(QStringLiteral("cant find the start of an EML, returning"));
            return true;
        }

        // Stream the piece to a temporary file while looking for the next separator.
        // Written under a temporary name (mode 0600) and renamed once its end, and so its
        // name, is known: a piece is never seen half-written.
        PieceFile piece(pieceFolder);
        if (!piece.isOpen()) {
            TLog(QStringLiteral("Could not write mbox piece in %1: %2").arg(pieceFolder, piece.error()));
            return false;
        }
        qint64 writeFrom = firstLF + 1;
        qint64 scanFrom = qMax(offset + 10, w.start);
        qint64 pieceEnd = -1;
        for (;;) {
            if (scanFrom < w.end()) {
                const qsizetype hit = QByteArrayView(w.at(scanFrom), w.end() - scanFrom).indexOf(kSeparator);
                if (hit >= 0) {
                    pieceEnd = scanFrom + hit;
                    break;
                }
            }
            // Keep the last bytes that might begin a separator completed by the next block.
            const qint64 safe = qMax(scanFrom, w.end() - (kSeparator.size() - 1));
            if (safe > writeFrom) {
                piece.write(w.at(writeFrom), safe - writeFrom);
                writeFrom = safe;
            }
            scanFrom = safe;
            w.dropBefore(qMin(writeFrom, scanFrom));
            if (!w.more()) {
                pieceEnd = w.end();
                break;
            }
        }
        if (pieceEnd > writeFrom)
            piece.write(w.at(writeFrom), pieceEnd - writeFrom);
        const QString name = QStringLiteral("%1/m_%2.eml").arg(pieceFolder).arg(pieceEnd);
        if (!piece.commitAs(name)) {
            TLog(QStringLiteral("Could not write mbox piece %1: %2").arg(name, piece.error()));
            return false;
        }
        onPiece(name);
        offset = pieceEnd;
        w.dropBefore(offset);
    }
}
