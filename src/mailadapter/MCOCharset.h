#pragma once
// Conversion of mail text from its declared charset to Unicode, with a best guess for
// text whose charset is missing, unknown or wrong. Conversion goes through iconv with
// GMime's charset name mapping; nothing here throws or returns an empty text for
// non-empty input.
//
// How undeclared or mis-declared 8-bit text is guessed:
//   1. valid UTF-8 wins;
//   2. otherwise every candidate that converts the bytes without an error is scored for
//      implausible output (control characters, half-width katakana, letters of two
//      scripts glued into one word, case flips inside words, Chinese characters outside
//      the common planes, Japanese without kana, ...) and the lowest score wins; charsets
//      seen elsewhere in the same message ("hints") are tried first and win ties;
//   3. the Latin charsets come last (windows-1252, then the Central European ones,
//      which win only when they score better); windows-1252 converts every byte.

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

class MCOCharset {
public:
    // `bytes` as Unicode. `declared` is the charset label of the text (empty when none);
    // `hints` are other charset labels of the same message, preferred when guessing.
    // When `declared` is known and the bytes are valid in it, it is used (labels of
    // ASCII, Latin-1, GB2312, Big5, EUC-KR and Shift_JIS are read as their common
    // supersets). Otherwise the text is guessed. `usedCharset`, when given, receives the
    // name of the charset actually used. Never fails.
    static QString toUnicode(QByteArrayView bytes, QByteArrayView declared,
                             const QList<QByteArray> &hints = {}, QByteArray *usedCharset = nullptr);

    // The best guess for bytes of unknown charset (see the header comment).
    static QString guess(QByteArrayView bytes, const QList<QByteArray> &hints = {},
                         QByteArray *usedCharset = nullptr);

    // Strict conversion: false, with `out` untouched, when the charset is unknown or the
    // bytes are not valid in it.
    static bool convert(QByteArrayView bytes, QByteArrayView charset, QString *out);

    // The iconv name that `label` is read with ("GB18030" for "gb2312"), or an empty
    // array when the label is empty, a placeholder such as "unknown-8bit", or unknown to
    // iconv.
    static QByteArray canonicalName(QByteArrayView label);

    // True when `bytes` is well-formed UTF-8; `multibyte` (optional) tells whether it
    // holds at least one non-ASCII character.
    static bool isValidUtf8(QByteArrayView bytes, bool *multibyte = nullptr);

    // True when every byte is 7-bit.
    static bool isAscii(QByteArrayView bytes);

    // Lower score = more plausible text; used by the guess, exposed for tests.
    static int implausibility(const QString &text);
};
