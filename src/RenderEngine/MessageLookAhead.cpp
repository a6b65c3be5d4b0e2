#include "RenderEngine/MessageLookAhead.h"

#include "RenderEngine/MessageToHTMLToPDF.h"
#include "localmail/LocalMailFiles.h"
#include "localmail/MailStores.h"
#include "mailadapter/MCOMessageParser.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QPointer>
#include <QThreadPool>

MessageLookAhead::MessageLookAhead(const JobOptions &options, const QString &mainFolder,
                                   std::function<QString(const QString &)> mailFolderOf, QObject *parent)
    : QObject(parent), m_options(options), m_mainFolder(mainFolder), m_mailFolderOf(std::move(mailFolderOf))
{
}

MessageLookAhead::~MessageLookAhead() = default;

void MessageLookAhead::setPaths(const QStringList &paths)
{
    m_paths = paths;
    refill();
}

bool MessageLookAhead::isEmpty() const { return m_paths.isEmpty() && m_inFlight == 0 && m_ready.empty(); }

qsizetype MessageLookAhead::remaining() const { return m_paths.size() + m_inFlight + qsizetype(m_ready.size()); }

void MessageLookAhead::clear()
{
    ++m_generation; // a batch still loading is dropped when it arrives
    m_paths.clear();
    m_ready.clear();
    m_inFlight = 0;
}

std::optional<MessageLookAhead::Loaded> MessageLookAhead::takeNext()
{
    refill();
    if (m_ready.empty())
        return std::nullopt;
    Loaded next = std::move(m_ready.front());
    m_ready.pop_front();
    refill();
    return next;
}

bool MessageLookAhead::isArchived(MCOMessageParser &message, const JobOptions &options, const QString &mainFolder,
                                  const QString &mailFolder)
{
    const bool makesPdf = options.value(JobKey::pdfFormat).toString().size() >= 5;
    const QString key = makesPdf ? JobKey::pdfFormat : JobKey::emlFormat;
    JobOptions first = options;
    first.remove(JobKey::outputIndex);
    const QString path = MessageToHTMLToPDF::destinationPath(message, mainFolder, mailFolder, key, QString(), first,
                                                             MessageToHTMLToPDF::FolderCreation::No);
    if (path.isEmpty() || QFileInfo(path).size() < (makesPdf ? 7000 : 20))
        return false; // an undersized output is the engine's to remove and make again
    const QString stored = MessageToHTMLToPDF::storedMessageIdentity(path);
    return stored.isEmpty() || stored == MessageToHTMLToPDF::messageIdentity(message);
}

void MessageLookAhead::refill()
{
    if (m_inFlight > 0 || m_paths.isEmpty())
        return;
    qsizetype pending = 0;
    for (const Loaded &loaded : m_ready)
        pending += loaded.message ? 1 : 0;
    if (pending >= kMaxPending)
        return;
    QStringList batch;
    while (!m_paths.isEmpty() && batch.size() < kBatch)
        batch.append(m_paths.takeLast());
    m_inFlight = batch.size();

    QPointer<MessageLookAhead> self(this);
    const quint64 generation = m_generation;
    QThreadPool::globalInstance()->start(
        [self, generation, batch, options = m_options, mainFolder = m_mainFolder, mailFolderOf = m_mailFolderOf] {
            std::vector<Loaded> loaded;
            loaded.reserve(size_t(batch.size()));
            for (const QString &path : batch) {
                Loaded one;
                one.path = path;
                one.mailFolder = mailFolderOf(path);
                one.tags = MailStores::tagsOfMessageFile(path);
                one.message = LocalMailFiles::makeMCOMessage(path, &one.mailappAttachments);
                if (one.message && isArchived(*one.message, options, mainFolder, one.mailFolder)) {
                    one.archived = true;
                    one.message.reset();
                }
                loaded.push_back(std::move(one));
            }
            // Handed back on the main thread, where `self` is looked at.
            QMetaObject::invokeMethod(
                qApp,
                [self, generation, loaded = std::move(loaded)]() mutable {
                    if (self)
                        self->batchLoaded(generation, std::move(loaded));
                },
                Qt::QueuedConnection);
        });
}

void MessageLookAhead::batchLoaded(quint64 generation, std::vector<Loaded> batch)
{
    if (generation != m_generation)
        return;
    m_inFlight = 0;
    for (Loaded &loaded : batch)
        m_ready.push_back(std::move(loaded));
    refill();
    emit messagesReady();
}
