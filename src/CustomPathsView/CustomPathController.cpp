#include "CustomPathsView/CustomPathController.h"

#include "CustomPaths/CustomPath.h"
#include "CustomPaths/PathFormatCheck.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QComboBox *formatBox(QWidget *parent, const QString &name, const QString &accessible)
{
    auto *box = new QComboBox(parent);
    box->setObjectName(name);
    box->setAccessibleName(accessible);
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    // Completing from the choices would replace what the user types.
    box->setCompleter(nullptr);
    box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    box->setMinimumContentsLength(40);
    return box;
}

QLabel *smallLabel(QWidget *parent, const QString &name)
{
    auto *label = new QLabel(parent);
    label->setObjectName(name);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setWordWrap(true);
    return label;
}

} // namespace

CustomPathController::CustomPathController(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(tr("Path Formats"));
    m_accountKeyDisplay = new QLabel(this);
    m_accountKeyDisplay->setObjectName(QStringLiteral("accountKeyDisplay"));
    m_pathFormat = formatBox(this, QStringLiteral("pathFormat"), tr("PDF path format"));
    m_attachmentFormat = formatBox(this, QStringLiteral("attachmentFormat"), tr("Attachment path format"));
    m_emlFormat = formatBox(this, QStringLiteral("emlFormat"), tr(".eml copy path format"));
    m_pathExample = smallLabel(this, QStringLiteral("pathExample"));
    m_attachmentExample = smallLabel(this, QStringLiteral("attachmentExample"));
    m_emlExample = smallLabel(this, QStringLiteral("emlExample"));
    m_pathProblem = smallLabel(this, QStringLiteral("pathProblem"));
    m_attachmentProblem = smallLabel(this, QStringLiteral("attachmentProblem"));
    m_emlProblem = smallLabel(this, QStringLiteral("emlProblem"));

    auto *help = new QLabel(tr("Each format is a path below the destination folder. Date codes such as %Y, %m, %d, "
                               "%H, %M and %S take the message's date; __subject__, __fromLast__, __toLast__, "
                               "__emailFrom__, __emailTo__ and __filename__ take the message's fields; \"/\" makes "
                               "a folder. A prefix localTZ__ uses this computer's time zone, -4TZ__ a fixed offset, "
                               "none UTC. An empty format (stored as \"none\") makes no such file."),
                            this);
    help->setWordWrap(true);

    auto *form = new QFormLayout;
    form->addRow(tr("Formats for:"), m_accountKeyDisplay);
    const struct {
        QString label;
        QComboBox *box;
        QLabel *example, *problem;
    } kinds[] = {{tr("&PDF:"), m_pathFormat, m_pathExample, m_pathProblem},
                 {tr("&Attachments:"), m_attachmentFormat, m_attachmentExample, m_attachmentProblem},
                 {tr("&EML copy:"), m_emlFormat, m_emlExample, m_emlProblem}};
    for (const auto &k : kinds) {
        auto *column = new QVBoxLayout;
        column->setSpacing(2);
        column->addWidget(k.box);
        column->addWidget(k.example);
        column->addWidget(k.problem);
        auto *label = new QLabel(k.label, this);
        label->setBuddy(k.box);
        form->addRow(label, column);
        k.problem->setStyleSheet(QStringLiteral("color: #c01c28;"));
        connect(k.box, &QComboBox::editTextChanged, this, &CustomPathController::updateExamples);
        connect(k.box, &QComboBox::currentIndexChanged, this, &CustomPathController::updateExamples);
        connect(k.box->lineEdit(), &QLineEdit::editingFinished, this, &CustomPathController::updateExamples);
    }

    auto *buttons = new QDialogButtonBox(this);
    m_okButton = buttons->addButton(QDialogButtonBox::Ok);
    m_cancelButton = buttons->addButton(QDialogButtonBox::Cancel);
    m_revertButton = buttons->addButton(tr("&Revert"), QDialogButtonBox::ResetRole);
    m_revertButton->setToolTip(tr("Forget this level's own formats and use the ones it inherits"));
    m_okButton->setDefault(true);
    connect(m_okButton, &QPushButton::clicked, this, &CustomPathController::okPressed);
    connect(m_cancelButton, &QPushButton::clicked, this, &CustomPathController::cancelPressed);
    connect(m_revertButton, &QPushButton::clicked, this, &CustomPathController::revertPressed);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(help);
    layout->addLayout(form);
    layout->addStretch();
    layout->addWidget(buttons);
    resize(800, 576);
}

CustomPathController *CustomPathController::showCustomPathControllerForAccount(const QString &accountKey,
                                                                               QWidget *window)
{
    auto *editor = new CustomPathController(window);
    editor->setAttribute(Qt::WA_DeleteOnClose);
    editor->setWindowModality(Qt::WindowModal);
    editor->setupWithAccountKey(accountKey);
    editor->open();
    return editor;
}

void CustomPathController::setupWithAccountKey(const QString &accountKey)
{
    m_accountKey = accountKey;
    loadFromPrefs();
}

QList<CustomPathController::Row> CustomPathController::rows() const
{
    return {{QStringLiteral("pdf"), m_pathFormat, m_pathExample, m_pathProblem},
            {QStringLiteral("attachment"), m_attachmentFormat, m_attachmentExample, m_attachmentProblem},
            {QStringLiteral("eml"), m_emlFormat, m_emlExample, m_emlProblem}};
}

void CustomPathController::loadFromPrefs()
{
    const QStringList choices[] = {CustomPath::pdfFormats(), CustomPath::attachmentFormats(), CustomPath::emlFormats()};
    const QList<Row> all = rows();
    for (int i = 0; i < all.size(); ++i) {
        const QSignalBlocker block(all[i].box);
        all[i].box->clear();
        all[i].box->addItems(choices[i]);
        all[i].box->setEditText(CustomPath::getFormat(all[i].kind, m_accountKey));
    }
    m_accountKeyDisplay->setText(m_accountKey);
    updateExamples();
}

void CustomPathController::updateExamples()
{
    bool allGood = true;
    for (const Row &row : rows()) {
        const QString format = row.box->currentText();
        row.example->setText(CustomPath::getExample(format));
        const QString why = PathFormatCheck::rejectionReason(row.kind, format);
        row.problem->setText(why);
        row.problem->setVisible(!why.isEmpty());
        allGood = allGood && why.isEmpty();
    }
    m_okButton->setEnabled(allGood);
}

QString CustomPathController::rejection(const QString &kind) const
{
    for (const Row &row : rows())
        if (row.kind == kind)
            return row.problem->text();
    return QString();
}

void CustomPathController::okPressed()
{
    updateExamples();
    if (!m_okButton->isEnabled())
        return;
    for (const Row &row : rows()) {
        const QString text = row.box->currentText();
        CustomPath::setFormat(row.kind, m_accountKey, text.isEmpty() ? QStringLiteral("none") : text);
    }
    accept();
}

void CustomPathController::cancelPressed() { reject(); }

void CustomPathController::revertPressed()
{
    for (const Row &row : rows())
        CustomPath::clearFormat(row.kind, m_accountKey);
    loadFromPrefs();
}
