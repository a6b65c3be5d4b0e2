#pragma once
// RenderTool drives one archiving job over one source. This part holds the rules that
// place local message files: the common base folder of the job's input paths and the
// mail-folder name of each message file below it.

#include <QObject>
#include <QString>
#include <QStringList>

class RenderTool : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // The deepest folder common to all input paths (files count by their folder);
    // "" for no paths, "/" when they share nothing.
    static QString commonAncestorEMLPaths(const QStringList &paths);
    // The mail folder under which the outputs of the message file at `path` are filed:
    // the folders between the job's base folder (its own name included) and the file,
    // less the storage folders of the Mail application. A file lying directly in the
    // base gets the job name's last component when the job name is a path, else "EML".
    static QString emlSubFolder(const QString &path, const QString &commonBasePath, const QString &jobName);
    // False for the Mail application's storage folder names: 36 characters (a UUID),
    // one character, "Data", "Messages", "Attachments".
    static bool keepFolderDueToName(const QString &name);
    // The first folder level of a local job's outputs: the base folder's name, or "PDFs".
    static QString mainFolderForBasePath(const QString &commonBasePath);
};
