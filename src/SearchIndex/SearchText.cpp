#include "SearchIndex/SearchText.h"


namespace SearchText {

namespace {

bool isIdeographic(char32_t c)
{
    return (c >= 0x3040 && c <= 0x30FF)      // Hiragana, Katakana
        || (c >= 0x31F0 && c <= 0x31FF)      // Katakana phonetic extensions
        || (c >= 0x3400 && c <= 0x4DBF)      // CJK extension A
        || (c >= 0x4E00 && c <= 0x9FFF)      // CJK unified ideographs
        || (c >= 0xF900 && c <= 0xFAFF)      // compatibility ideographs
        || (c >= 0x20000 && c <= 0x3FFFF);   // extensions B and later
}

} // namespace

QString fold(const QString &text)
{
    const QString decomposed = text.normalized(QString::NormalizationForm_KD);
    QString kept;
    kept.reserve(decomposed.size());
    for (const char32_t c : decomposed.toUcs4()) {
        // The Japanese voiced and semi-voiced marks make another kana (か → が).
        if (QChar::category(c) == QChar::Mark_NonSpacing && c != 0x3099 && c != 0x309A)
            continue;
        if (c < 0x20 || c == 0x7F) {
            kept.append(u' ');
            continue;
        }
        kept.append(QString::fromUcs4(&c, 1));
    }
    QString out = kept.normalized(QString::NormalizationForm_C).toCaseFolded();
    out.replace(QChar(0x00DF), QStringLiteral("ss"));
    return out;
}

QString foldForWords(const QString &text)
{
    const QString folded = fold(text);
    QString out;
    out.reserve(folded.size() + folded.size() / 2);
    for (const char32_t c : folded.toUcs4()) {
        const QString ch = QString::fromUcs4(&c, 1);
        if (isIdeographic(c)) {
            out.append(u' ');
            out.append(ch);
            out.append(u' ');
        } else {
            out.append(ch);
        }
    }
    return out;
}

qsizetype characterCount(const QString &text)
{
    return text.toUcs4().size();
}

} // namespace SearchText
