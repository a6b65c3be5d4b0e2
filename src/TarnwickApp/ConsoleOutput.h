#pragma once
// Text for the terminal: the commands' output and error messages, in UTF-8, written as
// they are (no line-ending or locale translation).

#include <QByteArray>
#include <QString>

#include <cstdio>

namespace ConsoleOutput {

inline void write(std::FILE *stream, const QByteArray &utf8)
{
    std::fwrite(utf8.constData(), 1, size_t(utf8.size()), stream);
}

} // namespace ConsoleOutput

inline void printOut(const QByteArray &utf8) { ConsoleOutput::write(stdout, utf8); }
inline void printOut(const QString &text) { ConsoleOutput::write(stdout, text.toUtf8()); }
inline void printErr(const QString &text) { ConsoleOutput::write(stderr, text.toUtf8()); }
