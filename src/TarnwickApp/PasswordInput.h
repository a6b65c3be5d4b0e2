#pragma once
// PasswordInput: reading a password for the command line without it ever appearing on a
// screen, in a command line or in the environment: a prompt on the terminal with echo
// switched off, or the first line of standard input (`--password-stdin`, for scripts).

#include <QString>

#include <optional>

namespace PasswordInput {

/// Prompts on the controlling terminal (standard input must be one) with echo off and
/// reads one line; echo is restored however the read ends, Ctrl-C included. No value
/// when standard input is not a terminal or the input ended first.
std::optional<QString> promptOnTerminal(const QString &prompt);

/// The first line of standard input without its line break (at most 4096 bytes read).
/// No value when nothing was given.
std::optional<QString> readStandardInput();

/// Whether standard input is a terminal.
bool standardInputIsTerminal();

} // namespace PasswordInput
