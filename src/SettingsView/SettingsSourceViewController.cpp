#include "SettingsView/SettingsSourceViewController.h"

#include "AppSandbox/FolderAccess.h"
#include "Settings/Preferences.h"

#include <QFileDialog>
#include <QListWidget>
#include <QPainter>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

namespace {

// A "+" drawn in the palette's text colour, for the add rows where the icon theme has none.
QIcon plusIcon(const QPalette &palette)
{
    QPixmap pixmap(48, 48);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(palette.color(QPalette::Text), 5, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(24, 10, 24, 38);
    painter.drawLine(10, 24, 38, 24);
    return QIcon(pixmap);
}

// The row records name images of their own; the icon theme has the same pictures, and the
// style has stand-ins where no theme is installed.
QIcon iconForRow(const QString &name, const QWidget *widget)
{
    const QStyle *style = widget->style();
    if (name == QLatin1String("40-40-icon-settings.png"))
        return QIcon::fromTheme(QStringLiteral("preferences-system"), style->standardIcon(QStyle::SP_ComputerIcon));
    if (name == QLatin1String("40-40-icon-mailbox.png"))
        return QIcon::fromTheme(QStringLiteral("mail-folder-inbox"), style->standardIcon(QStyle::SP_DriveNetIcon));
    if (name == QLatin1String("40-40-icon-folder.png"))
        return QIcon::fromTheme(QStringLiteral("folder"), style->standardIcon(QStyle::SP_DirIcon));
    return QIcon::fromTheme(QStringLiteral("list-add"), plusIcon(widget->palette()));
}

// Source and add rows are tall enough for their image; headings a little above their text.
class RowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        const bool heading = !(index.flags() & Qt::ItemIsSelectable);
        size.setHeight(heading ? size.height() + 10 : qMax(size.height(), 34));
        return size;
    }
};

} // namespace

QString chooseFolderWithDialog(QWidget *parent, const QString &prompt, const QString &startAt)
{
    QFileDialog dialog(parent, prompt, startAt);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setLabelText(QFileDialog::Accept, QObject::tr("Choose"));
    dialog.setWindowModality(Qt::WindowModal);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    // Links resolved, as the chosen folder is what is remembered.
    return QFileInfo(dialog.selectedFiles().first()).canonicalFilePath();
}

SettingsSourceViewController::SettingsSourceViewController(Preferences &prefs, QWidget *parent)
    : QWidget(parent), m_prefs(prefs), m_model(prefs), m_chooser(chooseFolderWithDialog)
{
    m_list = new QListWidget(this);
    m_list->setObjectName(QStringLiteral("sourcesList"));
    m_list->setAccessibleName(tr("Sources"));
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setIconSize(QSize(24, 24));
    m_list->setItemDelegate(new RowDelegate(m_list));
    m_list->setMinimumWidth(200);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_list);

    m_reloadTimer.setSingleShot(true);
    m_reloadTimer.setInterval(200);
    connect(&m_reloadTimer, &QTimer::timeout, this, &SettingsSourceViewController::reloadTheData);
    connect(&m_prefs, &Preferences::changed, this, [this] { m_reloadTimer.start(); });
    m_deselectTimer.setSingleShot(true);
    m_deselectTimer.setInterval(300);
    connect(&m_deselectTimer, &QTimer::timeout, this, [this] {
        m_model.deselectAll();
        redraw();
    });
    connect(m_list, &QListWidget::currentRowChanged, this, &SettingsSourceViewController::rowBecameCurrent);
    connect(m_list, &QListWidget::itemClicked, this, &SettingsSourceViewController::rowActivated);
    connect(m_list, &QListWidget::itemActivated, this, &SettingsSourceViewController::rowActivated);

    // The rows now, so that the list is never drawn empty; then as the store says.
    m_model.reloadTheData();
    redraw();
    m_reloadTimer.start();
    // Unless the user was quicker.
    QTimer::singleShot(500, this, [this] {
        if (m_model.rememberedId().isEmpty())
            setSelectedRow(1);
    });
}

void SettingsSourceViewController::reloadTheData()
{
    m_reloadTimer.stop();
    m_model.reloadTheData();
    // An add row is remembered like any row, but never comes back selected.
    if (const int row = m_model.selectedRow(); row >= 0 && m_model.rows()[row].contains(QStringLiteral("action")))
        m_model.deselectAll();
    redraw();
}

void SettingsSourceViewController::redraw()
{
    m_redrawing = true;
    const QList<QVariantMap> &rows = m_model.rows();
    if (m_list->count() != rows.size()) {
        m_list->clear();
        for (int i = 0; i < rows.size(); ++i)
            m_list->addItem(new QListWidgetItem);
    }
    for (int i = 0; i < rows.size(); ++i) {
        const QVariantMap &row = rows[i];
        QListWidgetItem *item = m_list->item(i);
        item->setText(row.value(QStringLiteral("name")).toString());
        item->setData(Qt::UserRole, row.value(QStringLiteral("id")));
        QFont font = m_list->font();
        if (!m_model.shouldSelectRow(i)) {
            // A heading: small capitals above its group, skipped by the keyboard.
            font.setBold(true);
            font.setPointSizeF(font.pointSizeF() * 0.85);
            item->setFlags(Qt::NoItemFlags);
            item->setIcon(QIcon());
        } else {
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
            item->setIcon(iconForRow(row.value(QStringLiteral("icon")).toString(), m_list));
        }
        item->setFont(font);
    }
    const int selected = m_model.selectedRow();
    if (selected >= 0) {
        m_list->setCurrentRow(selected, QItemSelectionModel::ClearAndSelect);
    } else {
        m_list->clearSelection();
        m_list->setCurrentItem(nullptr);
    }
    m_redrawing = false;
}

void SettingsSourceViewController::setSelectedRow(int row)
{
    m_deselectTimer.stop();
    const int selected = m_model.setSelectedRow(row);
    redraw();
    if (selected >= 0)
        showPaneFor(m_model.selectRow(selected), selected);
}

void SettingsSourceViewController::markSelected(const QString &id)
{
    m_deselectTimer.stop();
    m_model.reloadTheData();
    for (int i = 0; i < rowCount(); ++i)
        if (m_model.rows()[i].value(QStringLiteral("id")).toString() == id)
            m_model.selectRow(i);
    redraw();
}

void SettingsSourceViewController::rowBecameCurrent(int row)
{
    if (m_redrawing || row < 0)
        return;
    if (!m_model.shouldSelectRow(row)) {
        redraw(); // refused: the selection stays where it was
        return;
    }
    const bool isAction = m_model.rows()[row].contains(QStringLiteral("action"));
    if (isAction)
        return; // run on click or Enter only
    m_deselectTimer.stop();
    showPaneFor(m_model.selectRow(row), row);
}

void SettingsSourceViewController::rowActivated(QListWidgetItem *item)
{
    const int row = m_list->row(item);
    if (row < 0 || row >= rowCount() || !m_model.rows()[row].contains(QStringLiteral("action")))
        return;
    showPaneFor(m_model.selectRow(row), row);
}

void SettingsSourceViewController::showPaneFor(SourcesList::Selection selection, int row)
{
    const QVariantMap record = m_model.rows().value(row);
    switch (selection) {
    case SourcesList::Selection::Refused:
        return;
    case SourcesList::Selection::GeneralPane:
        emit generalPaneRequested();
        return;
    case SourcesList::Selection::AccountPane:
        emit accountPaneRequested(record.value(QStringLiteral("email")).toString());
        return;
    case SourcesList::Selection::FolderPane:
        emit folderPaneRequested(record.value(QStringLiteral("folder")).toString());
        return;
    case SourcesList::Selection::Action:
        break;
    }
    // An add row never stays selected; the timer starts first, as a chooser below waits
    // for the user in a loop of its own.
    m_deselectTimer.start();
    const QString action = record.value(QStringLiteral("action")).toString();
    if (action == QLatin1String("Action_newAccount"))
        emit accountPaneRequested(QString());
    else if (action == QLatin1String("Action_newFolder"))
        addFolderItemFromHomeDir();
    else if (action == QLatin1String("Action_newMailbox"))
        addFolderItemFromMailDir();
}

void SettingsSourceViewController::addFolderItemFromHomeDir() { addFolderItem(SourcesList::userHomeFolder()); }

void SettingsSourceViewController::addFolderItemFromMailDir()
{
    addFolderItem(SourcesList::mailChooserFolder(SourcesList::userHomeFolder()));
}

void SettingsSourceViewController::addFolderItem(const QString &startAt)
{
    const QString path = m_chooser(window(), tr("Choose Source Folder containing mBox or eml files"), startAt);
    if (path.isEmpty())
        return;
    FolderAccess::persistPermissionURL(path);
    SourcesList::addSourcePathToPrefs(path, m_prefs);
    // The rows now rather than after the store's delay: the selection below counts them.
    reloadTheData();
    emit folderPaneRequested(path);
    // A folder that was a source already keeps its place in the list; a new one is last.
    QTimer::singleShot(20, this, [this, path] {
        int row = rowCount();
        for (int i = 0; i < rowCount(); ++i)
            if (m_model.rows()[i].value(QStringLiteral("folder")).toString() == path)
                row = i;
        setSelectedRow(row);
    });
}
