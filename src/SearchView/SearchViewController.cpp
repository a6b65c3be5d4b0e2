#include "SearchView/SearchViewController.h"

#include "SearchIndex/ArchiveIndexer.h"
#include "SearchIndex/FileInfoGatherer.h"
#include "SearchIndex/ThumbnailCache.h"
#include "Settings/Preferences.h"
#include "Utils/Log.h"

#include <QAbstractListModel>
#include <QApplication>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTextLayout>
#include <QAction>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QDir>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMimeData>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QSlider>
#include <QSplitter>
#include <QThreadPool>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

namespace {

constexpr int kRestartDelayMs = 500;
constexpr int kDefaultZoom = 128;
// More selected items than this count as none for the information panel.
constexpr int kMaxSelectionForInfo = 1000;
const QString kZoomKey = QStringLiteral("zoomState");

// Thumbnails are made one at a time: rendering pages must not crowd out archiving.
QThreadPool &thumbnailPool()
{
    // Destroyed at exit after the page being rendered, not in the middle of it.
    static QThreadPool pool;
    static const bool once = [] {
        pool.setMaxThreadCount(1);
        return true;
    }();
    (void)once;
    return pool;
}

QString commonFolder(const QStringList &paths)
{
    if (paths.isEmpty())
        return {};
    QStringList common = QFileInfo(paths.first()).path().split(u'/');
    for (const QString &p : paths) {
        const QStringList parts = QFileInfo(p).path().split(u'/');
        qsizetype n = 0;
        while (n < common.size() && n < parts.size() && common[n] == parts[n])
            ++n;
        common.resize(n);
    }
    const QString joined = common.join(u'/');
    return joined.isEmpty() ? QStringLiteral("/") : joined;
}

} // namespace

constexpr int kTitleRole = Qt::UserRole + 1;
constexpr int kSubTitleRole = Qt::UserRole + 2;

// The grid's items: title and authors as text, the thumbnail (made in the background)
// or the file type's icon as decoration, file URLs when dragged out.
class SearchResultsModel : public QAbstractListModel {
public:
    explicit SearchResultsModel(QObject *parent) : QAbstractListModel(parent) {}
    // Thumbnails not begun are not wanted any more.
    ~SearchResultsModel() override { thumbnailPool().clear(); }

    void setItems(QList<SearchItem> items)
    {
        beginResetModel();
        m_items = std::move(items);
        endResetModel();
    }
    const QList<SearchItem> &items() const { return m_items; }
    void setIconEdge(int edge)
    {
        m_edge = edge;
        if (!m_items.isEmpty())
            emit dataChanged(index(0), index(int(m_items.size()) - 1), {Qt::DecorationRole});
    }

    int rowCount(const QModelIndex &parent = {}) const override { return parent.isValid() ? 0 : int(m_items.size()); }
    Qt::ItemFlags flags(const QModelIndex &index) const override
    {
        return QAbstractListModel::flags(index) | Qt::ItemIsDragEnabled;
    }
    QStringList mimeTypes() const override { return {QStringLiteral("text/uri-list")}; }
    QMimeData *mimeData(const QModelIndexList &indexes) const override
    {
        QList<QUrl> urls;
        for (const QModelIndex &i : indexes)
            urls.append(QUrl::fromLocalFile(m_items.at(i.row()).path()));
        auto *data = new QMimeData;
        data->setUrls(urls);
        return data;
    }
    Qt::DropActions supportedDragActions() const override { return Qt::CopyAction | Qt::LinkAction; }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || index.row() >= m_items.size())
            return {};
        const SearchItem &item = m_items.at(index.row());
        switch (role) {
        case Qt::DisplayRole: {
            const QString sub = item.cachedSubTitle();
            return sub.isEmpty() ? item.cachedTitle() : item.cachedTitle() + u'\n' + sub;
        }
        case Qt::ToolTipRole:
            return item.path();
        case kTitleRole:
            return item.cachedTitle();
        case kSubTitleRole:
            return item.cachedSubTitle();
        case Qt::AccessibleTextRole:
            return item.cachedTitle();
        case Qt::DecorationRole:
            return decoration(item);
        default:
            return {};
        }
    }

private:
    QVariant decoration(const SearchItem &item) const
    {
        const auto found = m_thumbnails.constFind(item.path());
        if (found != m_thumbnails.cend() && !found->isNull())
            return QPixmap::fromImage(found->scaled(m_edge, m_edge, Qt::KeepAspectRatio, Qt::SmoothTransformation));
        if (found == m_thumbnails.cend() && !item.isFolder())
            requestThumbnail(item.path());
        return m_icons.icon(QFileInfo(item.path()));
    }

    void requestThumbnail(const QString &path) const
    {
        auto *self = const_cast<SearchResultsModel *>(this);
        self->m_thumbnails.insert(path, QImage()); // asked once
        QPointer<SearchResultsModel> guard(self);
        QThreadPool *pool = &thumbnailPool();
        pool->start([guard, path] {
            if (!guard)
                return;
            const QImage image = ThumbnailCache::thumbnail(path);
            if (image.isNull())
                return;
            QMetaObject::invokeMethod(
                guard.data(),
                [guard, path, image] {
                    if (!guard)
                        return;
                    guard->m_thumbnails.insert(path, image);
                    for (int row = 0; row < guard->m_items.size(); ++row)
                        if (guard->m_items[row].path() == path)
                            emit guard->dataChanged(guard->index(row), guard->index(row), {Qt::DecorationRole});
                },
                Qt::QueuedConnection);
        });
    }

    QList<SearchItem> m_items;
    QHash<QString, QImage> m_thumbnails;
    QFileIconProvider m_icons;
    int m_edge = kDefaultZoom;
};

// Draws a grid item: the thumbnail, up to two lines of title and one line of authors.
class SearchItemDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const override
    {
        const QFontMetrics fm(option.font);
        return {option.decorationSize.width() + 40, option.decorationSize.height() + 3 * fm.height() + 14};
    }
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        const QWidget *widget = opt.widget;
        QStyle *style = widget ? widget->style() : QApplication::style();
        opt.text.clear();
        opt.icon = QIcon();
        opt.showDecorationSelected = true; // the whole cell, not a text rectangle we draw ourselves
        style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, widget);
        const QRect r = opt.rect.adjusted(4, 4, -4, -4);
        const QSize iconSize = opt.decorationSize;
        const QRect iconRect(r.left() + (r.width() - iconSize.width()) / 2, r.top(), iconSize.width(), iconSize.height());
        const QVariant decoration = index.data(Qt::DecorationRole);
        if (decoration.canConvert<QPixmap>() && !decoration.value<QPixmap>().isNull()) {
            const QPixmap pixmap = decoration.value<QPixmap>();
            const QSize size = pixmap.size().scaled(iconSize, Qt::KeepAspectRatio);
            const QRect page(iconRect.center() - QPoint(size.width() / 2, size.height() / 2), size);
            painter->fillRect(page, Qt::white); // a page, also on a dark theme
            painter->drawPixmap(page, pixmap);
            painter->setPen(opt.palette.color(QPalette::Mid));
            painter->drawRect(page.adjusted(0, 0, -1, -1));
        } else {
            decoration.value<QIcon>().paint(painter, iconRect);
        }
        const bool selected = opt.state & QStyle::State_Selected;
        painter->setPen(opt.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
        const QFontMetrics fm(opt.font);
        QRect text(r.left(), iconRect.bottom() + 4, r.width(), fm.height() * 2);
        QString title = index.data(kTitleRole).toString();
        // Two lines at most: the second one elided.
        QTextLayout layout(title, opt.font);
        QTextOption wrap(Qt::AlignHCenter);
        wrap.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(wrap);
        layout.beginLayout();
        QStringList lines;
        for (int n = 0; n < 2; ++n) {
            QTextLine line = layout.createLine();
            if (!line.isValid())
                break;
            line.setLineWidth(text.width());
            const QString piece = title.mid(line.textStart(), n == 1 ? -1 : line.textLength());
            lines.append(n == 1 ? fm.elidedText(piece.trimmed(), Qt::ElideRight, text.width()) : piece.trimmed());
        }
        layout.endLayout();
        painter->drawText(text, Qt::AlignHCenter | Qt::AlignTop, lines.join(u'\n'));
        const QString sub = index.data(kSubTitleRole).toString();
        if (!sub.isEmpty()) {
            QFont small = opt.font;
            small.setPointSizeF(small.pointSizeF() * 0.85);
            painter->setFont(small);
            if (!selected)
                painter->setPen(opt.palette.color(QPalette::PlaceholderText));
            const QRect subRect(r.left(), text.bottom() + 2, r.width(), QFontMetrics(small).height());
            painter->drawText(subRect, Qt::AlignHCenter | Qt::AlignTop,
                              QFontMetrics(small).elidedText(sub, Qt::ElideRight, r.width()));
        }
    }
};

SearchViewController::SearchViewController(Preferences &prefs, QWidget *parent, const QString &indexPath)
    : QWidget(parent), m_prefs(prefs), m_indexPath(indexPath)
{
    m_indexer = new ArchiveIndexer(m_indexPath, this);
    connect(m_indexer, &ArchiveIndexer::progressChanged, this, [this](qint64 done, qint64 total) {
        m_indexStatus->setText(total > 0 ? tr("Indexing %1 of %2").arg(done).arg(total) : QString());
    });
    connect(m_indexer, &ArchiveIndexer::updated, this, [this] {
        m_indexStatus->clear();
        m_fileInfos.clear(); // the counts of folders may have changed
        // Results of a query that found more than the grid shows stay as they are.
        if (m_liveUpdates && !m_searching)
            runSearch(false);
        emit indexUpdated();
    });

    m_restartTimer.setSingleShot(true);
    m_restartTimer.setInterval(kRestartDelayMs);
    connect(&m_restartTimer, &QTimer::timeout, this, &SearchViewController::restartSearch);

    m_back = new QToolButton(this);
    m_back->setIcon(QIcon::fromTheme(QStringLiteral("go-previous")));
    m_back->setText(tr("Back"));
    m_back->setToolTip(tr("Back to the previous search"));
    m_back->setAccessibleName(tr("Back"));
    m_back->setShortcut(QKeySequence::Back);
    connect(m_back, &QToolButton::clicked, this, &SearchViewController::popHistory);
    auto *home = new QToolButton(this);
    home->setIcon(QIcon::fromTheme(QStringLiteral("go-home")));
    home->setText(tr("All Archives"));
    home->setToolTip(tr("Clear the search and show every archive folder"));
    home->setAccessibleName(tr("All Archives"));
    connect(home, &QToolButton::clicked, this, &SearchViewController::homeClicked);

    const auto field = [this](const QString &placeholder, const QString &name) {
        auto *edit = new QLineEdit(this);
        edit->setPlaceholderText(placeholder);
        edit->setAccessibleName(name);
        edit->setClearButtonEnabled(true);
        connect(edit, &QLineEdit::textChanged, this, &SearchViewController::restartSearchSoon);
        return edit;
    };
    m_subject = field(tr("Subject"), tr("Subject search"));
    m_email = field(tr("E-mail addresses"), tr("E-mail address search"));
    m_everywhere = field(tr("Everywhere"), tr("Search everywhere"));
    // Ctrl+F goes to the field that searches everything.
    auto *find = new QAction(this);
    find->setShortcut(QKeySequence::Find);
    find->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(find, &QAction::triggered, this, [this] {
        m_everywhere->setFocus(Qt::ShortcutFocusReason);
        m_everywhere->selectAll();
    });
    addAction(find);
    m_whereToSearch = new QToolButton(this);
    m_whereToSearch->setPopupMode(QToolButton::InstantPopup);
    m_whereToSearch->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_whereToSearch->setAccessibleName(tr("Where to search"));
    m_whereToSearch->setMenu(new QMenu(m_whereToSearch));

    auto *top = new QHBoxLayout;
    top->addWidget(m_back);
    top->addWidget(home);
    top->addWidget(m_subject, 1);
    top->addWidget(m_email, 1);
    top->addWidget(m_everywhere, 1);
    top->addWidget(m_whereToSearch);

    m_crumbBar = new QWidget(this);
    m_crumbLayout = new QHBoxLayout(m_crumbBar);
    m_crumbLayout->setContentsMargins(0, 0, 0, 0);
    m_crumbLayout->setSpacing(0);

    m_model = new SearchResultsModel(this);
    m_grid = new QListView(this);
    m_grid->setModel(m_model);
    m_grid->setItemDelegate(new SearchItemDelegate(m_grid));
    m_grid->setViewMode(QListView::IconMode);
    m_grid->setResizeMode(QListView::Adjust);
    m_grid->setMovement(QListView::Static);
    m_grid->setWordWrap(true);
    m_grid->setUniformItemSizes(true);
    m_grid->setTextElideMode(Qt::ElideRight);
    m_grid->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_grid->setDragEnabled(true);
    m_grid->setDragDropMode(QAbstractItemView::DragOnly);
    m_grid->setContextMenuPolicy(Qt::ActionsContextMenu);
    m_grid->setAccessibleName(tr("Results"));
    connect(m_grid, &QListView::activated, this, [this](const QModelIndex &index) {
        if (index.isValid() && index.row() < m_model->items().size())
            itemActivated(m_model->items().at(index.row()));
    });
    connect(m_grid->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &SearchViewController::selectionChanged);

    m_info = new QLabel(this);
    m_info->setWordWrap(true);
    m_info->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    m_info->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_info->setMinimumWidth(200);
    m_info->setAccessibleName(tr("Information"));
    auto *split = new QSplitter(this);
    split->addWidget(m_grid);
    split->addWidget(m_info);
    split->setStretchFactor(0, 4);
    split->setStretchFactor(1, 1);

    m_open = new QPushButton(QIcon::fromTheme(QStringLiteral("document-open")), tr("&Open"), this);
    m_reveal = new QPushButton(QIcon::fromTheme(QStringLiteral("folder-open")), tr("Show in &Folder"), this);
    m_attachments = new QPushButton(QIcon::fromTheme(QStringLiteral("mail-attachment")), tr("Show &Attachments"), this);
    connect(m_open, &QPushButton::clicked, this, &SearchViewController::openSelection);
    connect(m_reveal, &QPushButton::clicked, this, &SearchViewController::revealSelection);
    connect(m_attachments, &QPushButton::clicked, this, &SearchViewController::showAttachments);
    for (QPushButton *button : {m_open, m_reveal, m_attachments}) {
        auto *action = new QAction(button->icon(), button->text().remove(u'&'), m_grid);
        connect(action, &QAction::triggered, button, &QPushButton::click);
        m_grid->addAction(action);
    }
    m_status = new QLabel(this);
    m_indexStatus = new QLabel(this);
    m_zoom = new QSlider(Qt::Horizontal, this);
    m_zoom->setRange(48, ThumbnailCache::kSize);
    m_zoom->setMaximumWidth(160);
    m_zoom->setAccessibleName(tr("Zoom"));
    const double stored = m_prefs.doubleForKey(kZoomKey);
    m_zoom->setValue(stored >= 48 ? int(stored) : kDefaultZoom);
    const auto applyZoom = [this](int edge) {
        m_grid->setIconSize(QSize(edge, edge));
        m_grid->setGridSize(QSize(edge + 48, edge + 3 * fontMetrics().height() + 16));
        m_model->setIconEdge(edge);
    };
    applyZoom(m_zoom->value());
    connect(m_zoom, &QSlider::valueChanged, this, [this, applyZoom](int edge) {
        applyZoom(edge);
        m_prefs.setValue(kZoomKey, double(edge));
    });

    auto *bottom = new QHBoxLayout;
    bottom->addWidget(m_open);
    bottom->addWidget(m_reveal);
    bottom->addWidget(m_attachments);
    bottom->addStretch(1);
    bottom->addWidget(m_indexStatus);
    bottom->addWidget(m_status);
    bottom->addWidget(m_zoom);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_crumbBar);
    layout->addWidget(split, 1);
    layout->addLayout(bottom);

    m_roots = SearchRoots::topPaths(m_prefs);
    // Removing a source or resetting the preferences takes its files out of the index.
    connect(&m_prefs, &Preferences::changed, this, [this] {
        const QList<SearchRoot> roots = SearchRoots::topPaths(m_prefs);
        if (roots == m_roots)
            return;
        m_roots = roots;
        updateIndex();
        refresh();
    });
    refresh();
}

SearchViewController::~SearchViewController()
{
    *m_gone = true;
    if (m_cancel)
        *m_cancel = true;
}

const QList<SearchItem> &SearchViewController::results() const { return m_model->items(); }

QString SearchViewController::infoText() const { return m_info->text(); }

SearchQuery::Fields SearchViewController::fields() const
{
    return {m_subject->text(), m_email->text(), m_everywhere->text()};
}

QString SearchViewController::currentQueryString() const { return SearchQuery::currentQueryString(fields()); }

QString SearchViewController::statusLine(qsizetype count, bool searching)
{
    if (count >= 10000)
        return QStringLiteral("> 10000 (incomplete)");
    return searching ? QStringLiteral("%1 files (working)").arg(count) : QStringLiteral("%1 files (done)").arg(count);
}

QString SearchViewController::statusText() const { return m_status->text(); }

void SearchViewController::viewWillAppear()
{
    m_roots = SearchRoots::topPaths(m_prefs);
    updateIndex();
    refresh();
    restartSearchSoon();
}

void SearchViewController::archiveChanged() { updateIndex(); }

void SearchViewController::updateIndex()
{
    QStringList paths;
    for (const SearchRoot &root : m_roots)
        paths.append(root.path);
    m_indexer->requestUpdate(paths);
}

void SearchViewController::restartSearchSoon()
{
    m_restartTimer.stop();
    m_restartTimer.start();
}

void SearchViewController::restartSearch()
{
    m_restartTimer.stop();
    runSearch(true);
}

void SearchViewController::runSearch(bool withHistory)
{
    if (m_cancel)
        *m_cancel = true;
    m_cancel = std::make_shared<std::atomic_bool>(false);
    if (withHistory) {
        pushHistory();
        m_model->setItems({});
    }
    ArchiveSearch::Request request;
    request.fields = fields();
    request.pathConstraint = m_pathConstraint;
    request.roots = m_roots;
    request.indexPath = m_indexPath;
    m_searching = true;
    const quint64 generation = ++m_generation;
    refresh();
    auto *watcher = new QFutureWatcher<ArchiveSearch::Outcome>(this);
    connect(watcher, &QFutureWatcher<ArchiveSearch::Outcome>::finished, this, [this, watcher, generation] {
        watcher->deleteLater();
        if (generation != m_generation)
            return; // a newer search has started
        const ArchiveSearch::Outcome outcome = watcher->result();
        // A reload after an index update keeps what the user had selected.
        QStringList selected;
        for (const SearchItem &item : selectedItems())
            selected.append(item.path());
        m_model->setItems(outcome.items);
        for (int row = 0; row < outcome.items.size() && !selected.isEmpty(); ++row)
            if (selected.contains(outcome.items[row].path()))
                m_grid->selectionModel()->select(m_model->index(row), QItemSelectionModel::Select);
        m_liveUpdates = outcome.liveUpdates;
        m_shownQuery = outcome.queryString;
        m_searching = false;
        refresh();
        selectionChanged();
        emit searchFinished();
    });
    const std::shared_ptr<std::atomic_bool> cancel = m_cancel;
    watcher->setFuture(QtConcurrent::run([request, cancel] { return ArchiveSearch::run(request, cancel.get()); }));
}

void SearchViewController::pushHistory()
{
    QVariantMap entry;
    const auto put = [&](const char *key, const QString &value) {
        if (!value.isEmpty())
            entry.insert(QLatin1String(key), value);
    };
    put("subjectSearch", m_subject->text());
    put("emailAddressSearch", m_email->text());
    put("everywhereSearch", m_everywhere->text());
    put("pathConstraint", m_pathConstraint);
    if (m_searchStack.isEmpty() || m_searchStack.last() != entry)
        m_searchStack.append(entry);
}

void SearchViewController::popHistory()
{
    if (m_searchStack.size() < 2)
        return;
    const QVariantMap previous = m_searchStack.at(m_searchStack.size() - 2);
    const QSignalBlocker a(m_subject), b(m_email), c(m_everywhere);
    m_subject->setText(previous.value(QStringLiteral("subjectSearch")).toString());
    m_email->setText(previous.value(QStringLiteral("emailAddressSearch")).toString());
    m_everywhere->setText(previous.value(QStringLiteral("everywhereSearch")).toString());
    m_pathConstraint = previous.value(QStringLiteral("pathConstraint")).toString();
    refresh();
    restartSearchSoon();
    m_searchStack.removeLast();
}

void SearchViewController::homeClicked()
{
    const QSignalBlocker a(m_subject), b(m_email), c(m_everywhere);
    m_subject->clear();
    m_email->clear();
    m_everywhere->clear();
    m_pathConstraint.clear();
    refresh();
    restartSearchSoon();
}

void SearchViewController::whereToSearchClicked(const QString &path)
{
    if (path == m_pathConstraint)
        return;
    m_pathConstraint = path;
    refresh();
    restartSearchSoon();
}

void SearchViewController::setConstraint(const QString &path, bool clearFields)
{
    if (clearFields) {
        const QSignalBlocker a(m_subject), b(m_email), c(m_everywhere);
        m_subject->clear();
        m_email->clear();
        m_everywhere->clear();
    }
    m_pathConstraint = path;
    refresh();
    restartSearchSoon();
}

void SearchViewController::itemActivated(const SearchItem &item)
{
    if (item.isFolder())
        setConstraint(item.path(), item.path().contains(QLatin1String("(attachments)")));
    else
        QDesktopServices::openUrl(QUrl::fromLocalFile(item.path()));
}

QList<SearchItem> SearchViewController::selectedItems() const
{
    QList<SearchItem> out;
    for (const QModelIndex &index : m_grid->selectionModel()->selectedIndexes())
        if (index.row() < m_model->items().size())
            out.append(m_model->items().at(index.row()));
    return out;
}

void SearchViewController::openSelection()
{
    for (const SearchItem &item : selectedItems())
        QDesktopServices::openUrl(QUrl::fromLocalFile(item.path()));
}

void SearchViewController::revealSelection()
{
    QStringList uris;
    for (const SearchItem &item : selectedItems())
        uris.append(QString::fromUtf8(QUrl::fromLocalFile(item.path()).toEncoded()));
    if (uris.isEmpty())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << uris << QString();
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    const QString first = selectedItems().first().path();
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [watcher, first] {
        watcher->deleteLater();
        // Without a file manager that shows items: its folder, opened.
        if (watcher->isError())
            QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(first).path()));
    });
}

void SearchViewController::showAttachments()
{
    const QList<SearchItem> items = selectedItems();
    if (items.size() != 1 || !SearchItem::hasAttachmentsFolder(items.first().path()))
        return;
    setConstraint(SearchItem::attachmentsFolderFor(items.first().path()), true);
}

void SearchViewController::refresh()
{
    m_back->setEnabled(canGoBack());
    m_status->setText(statusLine(m_model->items().size(), m_searching));

    QMenu *menu = m_whereToSearch->menu();
    menu->clear();
    QString current = tr("All Archives");
    menu->addAction(tr("All Archives"), this, [this] { whereToSearchClicked(QString()); });
    for (const SearchRoot &root : std::as_const(m_roots)) {
        const QString path = root.path;
        menu->addAction(root.name, this, [this, path] { whereToSearchClicked(path); });
        if (path == m_pathConstraint)
            current = root.name;
    }
    if (!m_pathConstraint.isEmpty() && current == tr("All Archives"))
        current = SearchItem::nameFromPath(m_pathConstraint);
    m_whereToSearch->setText(current);

    const QList<SearchItem> selected = selectedItems();
    const QString crumbPath = selected.size() == 1 ? selected.first().path() : m_pathConstraint;
    m_crumbs = SearchRoots::parentsAndPath(crumbPath, m_roots);
    while (QLayoutItem *old = m_crumbLayout->takeAt(0)) {
        delete old->widget();
        delete old;
    }
    for (qsizetype i = 0; i < m_crumbs.size(); ++i) {
        if (i > 0)
            m_crumbLayout->addWidget(new QLabel(QStringLiteral(" \u203A "), m_crumbBar));
        auto *crumb = new QToolButton(m_crumbBar);
        crumb->setAutoRaise(true);
        crumb->setText(m_crumbs[i].name);
        QString path = m_crumbs[i].path;
        while (path.size() > 1 && path.endsWith(u'/'))
            path.chop(1);
        const bool isFile = QFileInfo(path).isFile();
        crumb->setEnabled(!isFile);
        connect(crumb, &QToolButton::clicked, this, [this, path] { setConstraint(path, false); });
        m_crumbLayout->addWidget(crumb);
    }
    m_crumbLayout->addStretch(1);

    const bool one = selected.size() == 1;
    m_open->setEnabled(!selected.isEmpty());
    m_reveal->setEnabled(!selected.isEmpty());
    m_attachments->setEnabled(one && SearchItem::hasAttachmentsFolder(selected.first().path()));
}

void SearchViewController::selectionChanged()
{
    refresh();
    const QList<SearchItem> selected = selectedItems();
    QString path;
    if (selected.size() == 1) {
        path = selected.first().path();
    } else if (selected.size() > 1 && selected.size() <= kMaxSelectionForInfo) {
        QStringList paths;
        for (const SearchItem &item : selected)
            paths.append(item.path());
        path = commonFolder(paths);
    } else {
        const QStringList dirs = SearchRoots::currentSearchDirectories(m_roots, m_pathConstraint);
        if (dirs.size() == 1)
            path = dirs.first();
    }
    showInfoFor(path);
}

void SearchViewController::showInfoFor(const QString &path)
{
    m_infoPath = path;
    if (path.isEmpty()) {
        m_info->clear();
        return;
    }
    const auto cached = m_fileInfos.constFind(path);
    if (cached != m_fileInfos.cend()) {
        m_info->setText(FileInfoGatherer::describe(*cached));
        return;
    }
    m_info->setText(tr("Counting\u2026"));
    if (m_infoInFlight.contains(path))
        return;
    m_infoInFlight.insert(path);
    QPointer<SearchViewController> self(this);
    const std::shared_ptr<std::atomic_bool> gone = m_gone;
    QThreadPool::globalInstance()->start([self, gone, path] {
        // A walk of a large archive ends early when the view is gone.
        const QVariantMap info = FileInfoGatherer::gather(path, gone.get());
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, path, info] {
                if (!self)
                    return;
                self->m_infoInFlight.remove(path);
                self->m_fileInfos.insert(path, info);
                if (self->m_infoPath == path)
                    self->m_info->setText(FileInfoGatherer::describe(info));
            },
            Qt::QueuedConnection);
    });
}
