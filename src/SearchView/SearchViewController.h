#pragma once
// SearchViewController: the search view of the main window. Three fields (subject,
// e-mail addresses, everywhere) restart the search half a second after the last key; a
// menu narrows it to one archive folder; the grid shows the results (first-page
// thumbnails, title and authors) or, with the fields empty, browses the archive folders;
// a breadcrumb shows where the selection lies, and the information panel counts what a
// folder holds or describes a file. The back button returns to earlier searches.
//
// Searches, thumbnails, folder counts and index updates run off the main thread; their
// answers come back to it and stale ones are dropped. The index is brought up to date
// when the view appears and after every job (archiveChanged()); results of up to 2000
// files follow those updates.

#include "SearchIndex/ArchiveIndex.h"
#include "SearchIndex/ArchiveSearch.h"
#include "SearchIndex/SearchRoots.h"

#include <QHash>
#include <QSet>
#include <QTimer>
#include <QVariantMap>
#include <QWidget>

#include <atomic>
#include <memory>

class ArchiveIndexer;
class Preferences;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QListView;
class QSlider;
class QToolButton;
class QPushButton;
class SearchResultsModel;

class SearchViewController : public QWidget {
    Q_OBJECT
public:
    SearchViewController(Preferences &prefs, QWidget *parent = nullptr,
                         const QString &indexPath = ArchiveIndex::defaultPath());
    ~SearchViewController() override;

    /// The view is shown: the roots are read again, the index brought up to date and the
    /// search restarted.
    void viewWillAppear();
    /// An archiving job ended: the index is brought up to date.
    void archiveChanged();

    // What the view shows, for the window and for tests.
    QLineEdit *subjectField() const { return m_subject; }
    QLineEdit *emailField() const { return m_email; }
    QLineEdit *everywhereField() const { return m_everywhere; }
    QListView *grid() const { return m_grid; }
    const QList<SearchItem> &results() const;
    QString statusText() const;
    QString infoText() const;
    bool isSearching() const { return m_searching; }
    /// A search runs or is about to start (the half-second wait after a change).
    bool searchPending() const { return m_searching || m_restartTimer.isActive(); }
    bool liveUpdates() const { return m_liveUpdates; }
    bool canGoBack() const { return m_searchStack.size() > 1; }
    QString pathConstraint() const { return m_pathConstraint; }
    QList<SearchRoot> topPaths() const { return m_roots; }
    QString currentQueryString() const;
    /// The query whose results the grid shows (empty while browsing).
    QString shownQueryString() const { return m_shownQuery; }
    QList<SearchRoots::Crumb> breadcrumb() const { return m_crumbs; }
    /// The status line's text for `count` results ("updateUI").
    static QString statusLine(qsizetype count, bool searching);

public slots:
    void restartSearch();
    void restartSearchSoon();
    void homeClicked();
    void whereToSearchClicked(const QString &path);
    void popHistory();
    void openSelection();
    void revealSelection();
    void showAttachments();

signals:
    /// A search (or browse) delivered its results.
    void searchFinished();
    /// An index update ended.
    void indexUpdated();

private:
    SearchQuery::Fields fields() const;
    void runSearch(bool pushHistory);
    void pushHistory();
    void refresh();
    void itemActivated(const SearchItem &item);
    void setConstraint(const QString &path, bool clearFields);
    void selectionChanged();
    void showInfoFor(const QString &path);
    void updateIndex();
    QList<SearchItem> selectedItems() const;

    Preferences &m_prefs;
    QString m_indexPath;
    ArchiveIndexer *m_indexer = nullptr;
    QList<SearchRoot> m_roots;
    QString m_pathConstraint;
    QList<QVariantMap> m_searchStack;
    QHash<QString, QVariantMap> m_fileInfos;
    QSet<QString> m_infoInFlight;
    QString m_infoPath;
    QList<SearchRoots::Crumb> m_crumbs;
    QTimer m_restartTimer;
    quint64 m_generation = 0;
    std::shared_ptr<std::atomic_bool> m_cancel;
    std::shared_ptr<std::atomic_bool> m_gone = std::make_shared<std::atomic_bool>(false);
    bool m_searching = false;
    bool m_liveUpdates = true;
    QString m_shownQuery;

    QLineEdit *m_subject = nullptr;
    QLineEdit *m_email = nullptr;
    QLineEdit *m_everywhere = nullptr;
    QToolButton *m_back = nullptr;
    QToolButton *m_whereToSearch = nullptr;
    QWidget *m_crumbBar = nullptr;
    QHBoxLayout *m_crumbLayout = nullptr;
    QListView *m_grid = nullptr;
    SearchResultsModel *m_model = nullptr;
    QLabel *m_info = nullptr;
    QLabel *m_status = nullptr;
    QLabel *m_indexStatus = nullptr;
    QSlider *m_zoom = nullptr;
    QPushButton *m_open = nullptr;
    QPushButton *m_reveal = nullptr;
    QPushButton *m_attachments = nullptr;
};
