#pragma once
// The options of a job over one stored source, as the scheduler and the command line
// build them: an IMAP account's server string, password, formats, destination and
// switched-off folders, or a folder source's path. Read once; the job's settings are
// frozen into them.

#include "RenderEngine/JobOptions.h"

#include <QString>

#include <optional>

class FXKeychain;
class Preferences;

namespace AccountJobOptions {

// The options of an IMAP account's job. None, with `error` set, when no job can be made:
// no destination chosen, or a password account without a stored password.
std::optional<JobOptions> forAccount(const QString &email, Preferences &prefs, FXKeychain &keychain, QString *error);

// Why a password account has no job: none is stored, or the store cannot be reached.
QString noPasswordText();

// Only the keys that reach the account's server (server, port, security, user name,
// password, sign-in kind, pinned certificate, switched-off folders).
std::optional<JobOptions> connectionOptions(const QString &email, Preferences &prefs, FXKeychain &keychain,
                                           QString *error);

// The options of a folder source's job ("eml_files" the one folder).
std::optional<JobOptions> forFolder(const QString &path, Preferences &prefs, QString *error);

} // namespace AccountJobOptions
