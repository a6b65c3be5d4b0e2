#pragma once
// FileAttributes: what the index records of one archived file. A PDF gives its document
// information (title, author, keywords, creation date), its page count and its text
// (Poppler); a text file of the archive (a saved .eml copy, a text or CSV attachment)
// gives its text; every file gives its name, size, times and user tags.
//
// Reads one file at a time; safe on any thread (each call opens its own document).

#include "SearchView/SearchItem.h"

#include <QString>

struct IndexedFile {
    QString path;
    qint64 mtimeMs = 0;
    SearchAttributes attributes;
    QString text;
};

namespace FileAttributes {

/// The most text kept of one file: enough for every message, bounded for the rare PDF
/// of a whole book.
constexpr qsizetype kMaxTextChars = 2 * 1024 * 1024;

/// The attributes and text of the file at `path`. A PDF that Poppler cannot open
/// (damaged, encrypted) is recorded by name, size and tags alone.
IndexedFile read(const QString &path);

} // namespace FileAttributes
