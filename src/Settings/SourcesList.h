#pragma once
// SourcesList: the sources as the preference store keeps them ("EmailAccounts" and
// "FolderItems", each an array of source keys in the order added), and the row model of
// the settings window's sources list, built from them without any widget.
//
// The model holds the rows, the selected row and the remembered id of the last row the
// user selected; the view draws rows (image, text, height) and runs the delays. Rows are
// plain maps with the keys "id", "name", "icon" and, by kind, "email", "folder" or
// "action"; heading rows have no icon.
//
// Main thread only, as the list it backs. The class-level operations on the store are
// safe wherever the store is.

#include <QString>
#include <QStringList>
#include <QVariantMap>

class Preferences;

class SourcesList {
public:
    // The fixed rows' ids.
    static QString generalHeadingId() { return QStringLiteral("__General__"); }
    static QString settingsItemId() { return QStringLiteral("__Settings Item__"); }
    static QString accountsHeadingId() { return QStringLiteral("__EMAIL ACCOUNTS__"); }
    static QString addEmailItemId() { return QStringLiteral("__Add Email Item__"); }
    static QString foldersHeadingId() { return QStringLiteral("__FOLDERS__"); }
    static QString addFolderItemId() { return QStringLiteral("__Add New Folder Item__"); }
    static QString addMailboxItemId() { return QStringLiteral("__Add New Mailbox Item__"); }

    /// What selecting a row asks the window to show or do.
    enum class Selection { Refused, GeneralPane, AccountPane, FolderPane, Action };

    explicit SourcesList(Preferences &prefs);

    /// Rebuilds the rows from the store and selects the first row whose id is the
    /// remembered one (none when that source is gone).
    void reloadTheData();
    const QList<QVariantMap> &rows() const { return m_rows; }
    /// The selected row, or -1.
    int selectedRow() const { return m_selected; }
    QString rememberedId() const { return m_rememberedId; }

    /// Whether the user may select `row`: every row but the headings (and rows that do
    /// not exist).
    bool shouldSelectRow(int row) const;
    /// The user selects `row`: refused for a heading (the selection stays); otherwise the
    /// row becomes selected, its id remembered, and the result says what to show. Add
    /// rows answer Action; the window runs the row's "action" and deselects them.
    Selection selectRow(int row);
    /// Selects a row by number: a number past the end or negative becomes the row count
    /// minus 3 (not below 0), which with the fixed rows at the end is the last folder row.
    /// Selects that row alone when it may be selected, else deselects every row. Returns
    /// the selected row or -1.
    int setSelectedRow(int row);
    void deselectAll() { m_selected = -1; }

    // --- The sources in the store ---

    /// "EmailAccounts" / "FolderItems" as stored (missing: empty).
    static QStringList emailAccounts(Preferences &prefs);
    static QStringList folderItems(Preferences &prefs);
    /// The sources of a full run: non-empty account keys, then non-empty folder keys.
    static QStringList allSourceKeys(Preferences &prefs);
    /// Whether `key` is an account ("EmailAccounts") rather than a folder source.
    static bool isAccount(const QString &key, Preferences &prefs);

    /// Appends `path` to "FolderItems" unless it is there; its index (existing or new).
    static qsizetype addSourcePathToPrefs(const QString &path, Preferences &prefs);
    /// Removes the first occurrence of `path` from "FolderItems"; whether it was there.
    /// The folder's other keys stay.
    static bool removeSourcePathFromPrefs(const QString &path, Preferences &prefs);

    /// The folder a source's outputs go to, as the settings show it: the source's own
    /// destination, else the main destination, followed by "/" and the last path
    /// component of the source key. `text` is that path, or "Default (%@)" around it when
    /// the source has no destination of its own.
    struct DestinationDisplay {
        QString path;
        bool own = false;
        QString text;
    };
    static DestinationDisplay destinationDisplay(const QString &sourceKey, Preferences &prefs);
    /// Stores `folder` as the source's own destination (the pair key + "__DEST"); false
    /// when the folder cannot be referenced.
    static bool setOwnDestination(const QString &sourceKey, const QString &folder, Preferences &prefs);
    /// Removes the source's own destination; it then uses the main one.
    static void removeOwnDestination(const QString &sourceKey, Preferences &prefs);

    /// The folder the "Add Mailbox From Mail Client" chooser opens at on Linux: the first of
    /// ~/Mail, ~/.thunderbird, ~/Maildir and ~/.local/share/evolution/mail that exists (the
    /// stores the folder scan reads: Thunderbird profiles, Maildirs, mbox files), else the home
    /// folder. `home` is the user's home folder as the user database records it.
    static QString mailChooserFolder(const QString &home);
    /// The user's home folder from the user database (not $HOME).
    static QString userHomeFolder();

private:
    Preferences &m_prefs;
    QList<QVariantMap> m_rows;
    int m_selected = -1;
    QString m_rememberedId;
};
