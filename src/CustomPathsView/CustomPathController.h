#pragma once
// CustomPathController: the sheet in which the user edits the three path formats of one
// level, the general level ("General") or one source. For each kind an editable combo box
// offers the built-in choices and shows the format the level has now (its own, inherited
// or the default); a preview of each format on the sample message follows every
// keystroke. A format that may not be stored shows why under its box, and OK stays off
// until every box is acceptable. OK stores what differs from the inherited format (an
// empty box as "none": no such output); Cancel (or Escape) stores nothing; Revert drops
// the level's own formats at once and shows what it inherits.

#include <QDialog>

class QComboBox;
class QLabel;
class QPushButton;

class CustomPathController : public QDialog {
    Q_OBJECT
public:
    explicit CustomPathController(QWidget *parent = nullptr);

    /// Opens an editor for `accountKey` as a window-modal sheet on `window`; it deletes
    /// itself when closed. The editor is returned for callers that watch it.
    static CustomPathController *showCustomPathControllerForAccount(const QString &accountKey, QWidget *window);

    /// Remembers the key and loads the controls.
    void setupWithAccountKey(const QString &accountKey);
    QString accountKey() const { return m_accountKey; }
    /// Fills the boxes with the built-in choices and the level's effective formats.
    void loadFromPrefs();
    /// Recomputes the three previews and the checks under the boxes.
    void updateExamples();

    void okPressed();
    void cancelPressed();
    void revertPressed();

    QComboBox *pathFormat() const { return m_pathFormat; }
    QComboBox *attachmentFormat() const { return m_attachmentFormat; }
    QComboBox *emlFormat() const { return m_emlFormat; }
    QLabel *pathExample() const { return m_pathExample; }
    QLabel *attachmentExample() const { return m_attachmentExample; }
    QLabel *emlExample() const { return m_emlExample; }
    QPushButton *okButton() const { return m_okButton; }
    QPushButton *revertButton() const { return m_revertButton; }
    /// The reason shown under the box of `kind` ("pdf", "attachment", "eml"), or empty.
    QString rejection(const QString &kind) const;

private:
    struct Row {
        QString kind;
        QComboBox *box;
        QLabel *example;
        QLabel *problem;
    };
    QList<Row> rows() const;

    QString m_accountKey;
    QLabel *m_accountKeyDisplay = nullptr;
    QComboBox *m_pathFormat = nullptr;
    QComboBox *m_attachmentFormat = nullptr;
    QComboBox *m_emlFormat = nullptr;
    QLabel *m_pathExample = nullptr;
    QLabel *m_attachmentExample = nullptr;
    QLabel *m_emlExample = nullptr;
    QLabel *m_pathProblem = nullptr;
    QLabel *m_attachmentProblem = nullptr;
    QLabel *m_emlProblem = nullptr;
    QPushButton *m_okButton = nullptr;
    QPushButton *m_cancelButton = nullptr;
    QPushButton *m_revertButton = nullptr;
};
