#pragma once
// The command line's IMAP commands over a stored account: `sources folders` (list the
// account's mailboxes, switch them on and off) and `sources trust` (accept a new server
// certificate after showing it), and the helpers that `archive` and `paths` share with
// them.

#include "RenderEngine/JobOptions.h"
#include "mailadapter/MCOIMAPSession.h"

#include <QString>
#include <QStringList>

class Preferences;

namespace IMAPCommands {

// Runs one operation to its end. The network work is the session's worker thread's; this
// thread turns its event loop meanwhile.
MCOIMAPResult run(MCOIMAPOperation *operation);

// A Google account logs in with a token: the saved sign-in is renewed first and the token
// put into `options`. False with `error` when the sign-in cannot be renewed; true at once
// for other accounts.
bool withGoogleToken(JobOptions &options, QString &error);

// `tarnwick sources folders EMAIL [--json] [--off PATH... --on PATH...]`.
int folders(const QString &email, const QStringList &args, Preferences &prefs);
// `tarnwick sources trust EMAIL [--yes]`.
int trust(const QString &email, const QStringList &args, Preferences &prefs);

} // namespace IMAPCommands
