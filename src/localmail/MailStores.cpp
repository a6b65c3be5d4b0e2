#include "localmail/MailStores.h"

#include "mailadapter/MCOIMAPMailboxName.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Beside their mbox files, clients keep indexes, state and profile data; none is mail, and
// some are large. They are passed over by name.
const QSet<QString> kNotMail = {
    QStringLiteral("msf"),  QStringLiteral("dat"),   QStringLiteral("json"),   QStringLiteral("sqlite"),
    QStringLiteral("db"),   QStringLiteral("sqlite-wal"), QStringLiteral("sqlite-shm"), QStringLiteral("ini"),
    QStringLiteral("js"),   QStringLiteral("mab"),   QStringLiteral("lz4"),    QStringLiteral("jsonlz4"),
    QStringLiteral("html"), QStringLiteral("txt"),   QStringLiteral("xml"),    QStringLiteral("rdf"),
    QStringLiteral("log"),  QStringLiteral("lock"),  QStringLiteral("bak"),    QStringLiteral("png"),
    QStringLiteral("jpg"),  QStringLiteral("gif"),   QStringLiteral("pdf"),    QStringLiteral("ics"),
    QStringLiteral("vcf"),  QStringLiteral("cache"), QStringLiteral("summary"), QStringLiteral("cmeta"),
    QStringLiteral("ibex"), QStringLiteral("index"), QStringLiteral("ev-summary"), QStringLiteral("sqlite3"),
};

// A separator line is short; reading further would be reading mail.
constexpr qsizetype kFirstLineLimit = 1024;

} // namespace

int MailStores::openForReading(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NOATIME);
    // O_NOATIME is only for files we own; others are read the ordinary way.
    if (fd < 0 && errno == EPERM)
        fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    return fd;
}

bool MailStores::isFromSeparatorLine(QByteArrayView line)
{
    // "From sender date": Thunderbird writes "From - Mon Jan  1 00:00:00 2024", mail
    // delivery agents "From user@host Mon Jan  1 00:00:00 2024"; some write an RFC 5322
    // date or add a zone. A sender, a month name and a time of day are required, so that a
    // text file that merely begins with the word "From " is not taken for mail.
    static const QRegularExpression separator(QStringLiteral(
        "^From \\S+ +.*\\b(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)\\b.*\\b\\d{1,2}:\\d{2}(:\\d{2})?\\b"));
    if (!line.startsWith("From "))
        return false;
    return separator.match(QString::fromLatin1(line.data(), line.size())).hasMatch();
}

bool MailStores::looksLikeMboxFile(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isFile() || kNotMail.contains(info.suffix().toLower()) || info.size() < 5)
        return false;
    const int fd = openForReading(path);
    if (fd < 0)
        return false;
    QByteArray head(kFirstLineLimit, Qt::Uninitialized);
    const ssize_t n = ::read(fd, head.data(), size_t(head.size()));
    ::close(fd);
    if (n <= 0)
        return false;
    head.truncate(n);
    const qsizetype end = head.indexOf('\n');
    return isFromSeparatorLine(head.left(end < 0 ? head.size() : end).trimmed());
}

bool MailStores::isMaildir(const QString &folder)
{
    return QFileInfo(folder + QStringLiteral("/cur")).isDir() && QFileInfo(folder + QStringLiteral("/new")).isDir();
}

QStringList MailStores::maildirMessages(const QString &folder)
{
    QStringList out;
    for (const char *sub : {"new", "cur"}) {
        const QDir dir(folder + QLatin1Char('/') + QLatin1String(sub));
        // Dot files are never messages in a Maildir (clients keep their own state there).
        for (const QString &name : dir.entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Unsorted))
            out.append(dir.filePath(name));
    }
    return out;
}

QStringList MailStores::clientFolderLevels(const QString &name, const QString &fullPath)
{
    if ((name == QLatin1String("cur") || name == QLatin1String("new")) && isMaildir(QFileInfo(fullPath).path()))
        return {};
    if (name.size() > 1 && name.startsWith(QLatin1Char('.')) && isMaildir(fullPath)) {
        // Maildir++: ".Lists.foo" is the folder foo inside Lists.
        QStringList levels;
        for (const QString &level : name.mid(1).split(QLatin1Char('.'), Qt::SkipEmptyParts))
            levels.append(MCOIMAPMailboxName::decodeModifiedUTF7(level));
        return levels;
    }
    QString level = name;
    if (level.size() > 4 && level.endsWith(QLatin1String(".sbd")))
        level.chop(4);
    if (level.contains(QLatin1Char('&')))
        level = MCOIMAPMailboxName::decodeModifiedUTF7(level);
    return {level};
}

QStringList MailStores::tagsOfMessageFile(const QString &path)
{
    // "unique:2,FLAGS": the flags after the last ":2," of the name, letters in ASCII order.
    const QString name = QFileInfo(path).fileName();
    const qsizetype info = name.lastIndexOf(QLatin1String(":2,"));
    if (info < 0 || !QFileInfo(path).path().endsWith(QLatin1String("/cur")))
        return {};
    return name.mid(info + 3).contains(QLatin1Char('F')) ? QStringList{QStringLiteral("Flagged")} : QStringList{};
}

QStringList MailStores::mozillaKeywordTags(const QString &value)
{
    static const QStringList labels = {QStringLiteral("Important"), QStringLiteral("Work"), QStringLiteral("Personal"),
                                       QStringLiteral("To Do"), QStringLiteral("Later")};
    QStringList tags;
    for (const QString &keyword : value.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (keyword.startsWith(QLatin1String("$label")) && keyword.size() == 7) {
            const int n = keyword.at(6).digitValue();
            if (n >= 1 && n <= 5)
                tags.append(labels.at(n - 1));
            continue;
        }
        // "$Forwarded", "$MDNSent" and the like are states, "Junk"/"NonJunk" the filter's.
        if (keyword.startsWith(QLatin1Char('$')) || keyword.compare(QLatin1String("Junk"), Qt::CaseInsensitive) == 0 ||
            keyword.compare(QLatin1String("NonJunk"), Qt::CaseInsensitive) == 0)
            continue;
        tags.append(keyword);
    }
    return tags;
}
