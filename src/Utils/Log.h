#pragma once
// Diagnostics: one line per event, to the system log and, when standard error is a
// terminal, to standard error as well. Every module logs through TLog (or through
// Qt's qInfo/qWarning, which end up in the same handler).

#include <QString>
#include <QStringList>

namespace Log {

// Installs the process-wide Qt message handler. `ident` names the process in the
// system log ("tarnwick", "tarnwick-renderbox"). Safe to call more than once.
void install(const char *ident);

// Stops echoing to standard error even when it is a terminal (command-line output
// that must stay machine-readable, such as `paths --json`).
void setEchoToStderr(bool on);
// Echoes every line to standard error, terminal or not (`archive --verbose`).
void setEchoAlways();

// Lines written by TLog since `captureStart()`; for tests and for `render`, which
// prints the render log of a message.
void captureStart();
QStringList captureTake();

} // namespace Log

// Writes one diagnostic line. Line breaks inside `line` are flattened so that each call
// stays a single line in the journal.
void TLog(const QString &line);
