#pragma once
// SearchText: the one folded form in which the index stores attribute values and in which
// a query's tokens are compared with them, so that matching ignores case and diacritics
// ("Köln", "KÖLN" and "koln" are equal; "ß" counts as "ss", as a German keyboard without
// it is typed).

#include <QString>
#include <QStringList>

namespace SearchText {

/// Compatibility-decomposed, combining marks removed (except the Japanese voicing marks,
/// which change the letter rather than accent it), recomposed, case-folded, "ß" → "ss",
/// control characters as spaces.
QString fold(const QString &text);

/// fold() with a space on each side of every Han, Hiragana and Katakana character. The
/// word index tokenises on spaces and punctuation, and Chinese and Japanese put none
/// between words: as single-character words, a word typed in those scripts is found as
/// the phrase of its characters wherever it stands in a sentence.
QString foldForWords(const QString &text);

/// The number of Unicode characters (code points) of `text`.
qsizetype characterCount(const QString &text);

} // namespace SearchText
