#pragma once
// ArchiveViewController: the archive view of the main window. One row per source, then
// one per one-off job, each with its name, a start or stop button, a progress bar and the
// status line (the job's status, or "Last Archived: …", "Not Archived", or why no job
// could be made), redrawn every 2 s and whenever the jobs change; "Start All" and "Stop
// All" above them. The scheduling itself is ArchiveScheduler's.

#include <QPointer>
#include <QTimer>
#include <QWidget>

class ArchiveScheduler;
class QLabel;
class QProgressBar;
class QPushButton;
class QVBoxLayout;

class ArchiveViewController : public QWidget {
    Q_OBJECT
public:
    explicit ArchiveViewController(ArchiveScheduler &scheduler, QWidget *parent = nullptr);

    // Redraws the rows now (the 2 s timer does it otherwise).
    void reloadRows();
    // The row widgets by source or job name, for tests and accessibility.
    QPushButton *buttonForRow(const QString &name) const;
    QString statusLineForRow(const QString &name) const;

signals:
    // The toolbar's progress text changed ("%@ - %d%%" of the last running job, or "").
    void toolbarLabelChanged(const QString &text);

private:
    struct RowWidgets {
        QWidget *box = nullptr;
        QLabel *name = nullptr;
        QLabel *status = nullptr;
        QProgressBar *progress = nullptr;
        QPushButton *button = nullptr;
    };
    RowWidgets &rowFor(const QString &name);

    ArchiveScheduler &m_scheduler;
    QVBoxLayout *m_rowsLayout = nullptr;
    QHash<QString, RowWidgets> m_rows;
    QTimer m_redraw;
    QString m_toolbarLabel;
};
