#include "ArchiveView/ArchiveViewController.h"

#include "ArchiveView/ArchiveScheduler.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace {
constexpr int kRedrawMs = 2000;
}

ArchiveViewController::ArchiveViewController(ArchiveScheduler &scheduler, QWidget *parent)
    : QWidget(parent), m_scheduler(scheduler)
{
    auto *layout = new QVBoxLayout(this);
    auto *actions = new QHBoxLayout;
    auto *startAll = new QPushButton(tr("Start All"), this);
    auto *stopAll = new QPushButton(tr("Stop All"), this);
    startAll->setToolTip(tr("Archive every account and folder now"));
    stopAll->setToolTip(tr("Stop every running job; what was written stays"));
    connect(startAll, &QPushButton::clicked, this, [this] {
        m_scheduler.startArchiving();
        reloadRows();
    });
    connect(stopAll, &QPushButton::clicked, this, [this] {
        m_scheduler.stopArchiving();
        reloadRows();
    });
    actions->addWidget(startAll);
    actions->addWidget(stopAll);
    actions->addStretch();
    layout->addLayout(actions);

    auto *scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto *rows = new QWidget(scroll);
    m_rowsLayout = new QVBoxLayout(rows);
    m_rowsLayout->addStretch();
    scroll->setWidget(rows);
    layout->addWidget(scroll, 1);

    connect(&m_scheduler, &ArchiveScheduler::jobsChanged, this, &ArchiveViewController::reloadRows);
    connect(&m_redraw, &QTimer::timeout, this, &ArchiveViewController::reloadRows);
    m_redraw.start(kRedrawMs);
    reloadRows();
}

ArchiveViewController::RowWidgets &ArchiveViewController::rowFor(const QString &name)
{
    auto it = m_rows.find(name);
    if (it != m_rows.end())
        return *it;
    RowWidgets row;
    row.box = new QWidget(this);
    auto *layout = new QGridLayout(row.box);
    row.name = new QLabel(row.box);
    QFont bold = row.name->font();
    bold.setBold(true);
    row.name->setFont(bold);
    row.name->setTextInteractionFlags(Qt::TextSelectableByMouse);
    row.status = new QLabel(row.box);
    row.status->setWordWrap(true);
    row.progress = new QProgressBar(row.box);
    row.progress->setRange(0, 1000);
    row.progress->setTextVisible(false);
    row.button = new QPushButton(row.box);
    row.button->setAccessibleName(tr("Start or stop %1").arg(name));
    layout->addWidget(row.name, 0, 0);
    layout->addWidget(row.button, 0, 1, 2, 1, Qt::AlignVCenter);
    layout->addWidget(row.progress, 1, 0);
    layout->addWidget(row.status, 2, 0, 1, 2);
    layout->setColumnStretch(0, 1);
    connect(row.button, &QPushButton::clicked, this, [this, name] {
        if (m_scheduler.renderToolForjobName(name))
            m_scheduler.stopArchiving(name);
        else
            m_scheduler.startArchiving(name);
        reloadRows();
    });
    m_rowsLayout->insertWidget(m_rowsLayout->count() - 1, row.box);
    return *m_rows.insert(name, row);
}

void ArchiveViewController::reloadRows()
{
    const QList<ArchiveScheduler::Row> rows = m_scheduler.rows();
    QSet<QString> shown;
    for (const ArchiveScheduler::Row &row : rows) {
        RowWidgets &w = rowFor(row.name);
        shown.insert(row.name);
        // Folder sources by their folder's name, with the whole path a hover away.
        const QString title = row.name.startsWith(QLatin1Char('/')) ? QFileInfo(row.name).fileName() : row.name;
        w.name->setText(title.isEmpty() ? row.name : title);
        w.name->setToolTip(row.name);
        w.status->setText(row.statusLine);
        const bool running = !row.job.isNull();
        w.progress->setVisible(running);
        w.progress->setValue(int(row.fraction * 1000));
        w.button->setText(running ? tr("Stop") : tr("Start"));
    }
    // One-off jobs that ended leave the list.
    for (auto it = m_rows.begin(); it != m_rows.end();) {
        if (shown.contains(it.key())) {
            ++it;
            continue;
        }
        it->box->deleteLater();
        it = m_rows.erase(it);
    }
    const QString label = m_scheduler.toolbarLabel();
    if (label != m_toolbarLabel) {
        m_toolbarLabel = label;
        emit toolbarLabelChanged(label);
    }
}

QPushButton *ArchiveViewController::buttonForRow(const QString &name) const
{
    return m_rows.contains(name) ? m_rows.value(name).button : nullptr;
}

QString ArchiveViewController::statusLineForRow(const QString &name) const
{
    return m_rows.contains(name) ? m_rows.value(name).status->text() : QString();
}
