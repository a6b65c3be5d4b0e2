#pragma once
// How the settings panes ask for a folder: a window-modal chooser over the settings, for
// folders only, with new folders allowed. It returns the chosen folder's absolute path, or
// the empty string on Cancel. Tests and scripts install one of their own that answers at
// once.

#include <QString>

#include <functional>

class QWidget;

using FolderChooser = std::function<QString(QWidget *parent, const QString &prompt, const QString &startAt)>;

/// The desktop's folder chooser (QFileDialog), the default of every pane.
QString chooseFolderWithDialog(QWidget *parent, const QString &prompt, const QString &startAt);
