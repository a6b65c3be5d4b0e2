#include "SearchIndex/SearchQuery.h"

#include "SearchIndex/SearchText.h"

namespace SearchQuery {

QStringList readSpaceAndQuoteDelimitedStringIntoArray(const QString &field)
{
    QString spaced = field;
    spaced.replace(u'"', QStringLiteral(" \" "));
    const QStringList pieces = spaced.split(u' ');
    QStringList tokens;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        const QString &piece = pieces[i];
        if (piece.isEmpty())
            continue;
        if (!piece.contains(u'"')) {
            const QString token = piece.trimmed();
            if (!token.isEmpty()) // a lone tab or newline asks for nothing
                tokens.append(token);
            continue;
        }
        // A phrase: every following piece up to and including the next quote (or the
        // end, when the quote is never closed).
        QString phrase = piece;
        while (++i < pieces.size()) {
            phrase += u' ' + pieces[i];
            if (pieces[i].contains(u'"'))
                break;
        }
        phrase.remove(u'"');
        phrase = phrase.trimmed();
        if (!phrase.isEmpty())
            tokens.append(phrase);
    }
    QStringList joined;
    for (qsizetype i = 0; i < tokens.size(); ++i) {
        QString token = tokens[i];
        while (token.endsWith(u':') && i + 1 < tokens.size())
            token += u' ' + tokens[++i];
        joined.append(token);
    }
    return joined;
}

QList<Clause> clauses(const Fields &fields)
{
    QList<Clause> out;
    const std::pair<Field, const QString *> order[] = {
        {Field::Subject, &fields.subject}, {Field::Email, &fields.email}, {Field::Everywhere, &fields.everywhere}};
    for (const auto &[field, text] : order)
        for (const QString &token : readSpaceAndQuoteDelimitedStringIntoArray(*text))
            out.append({field, token, SearchText::characterCount(token) == 1});
    return out;
}

QString currentQueryString(const Fields &fields)
{
    QString query;
    for (const Clause &clause : clauses(fields)) {
        QString format;
        switch (clause.field) {
        case Field::Subject:
            format = clause.oneCharacter ? QStringLiteral("( kMDItemDisplayName == \"%1*\"cd )")
                                         : QStringLiteral("( kMDItemDisplayName == \"*%1*\"cd )");
            break;
        case Field::Email:
            format = clause.oneCharacter
                ? QStringLiteral("( (kMDItemKeywords == \"%1*\"cd) || (kMDItemAuthors == \"%1*\"cd) )")
                : QStringLiteral("( (kMDItemKeywords == \"*%1*\"cd)  || (kMDItemAuthors == \"*%1*\"cd) )");
            break;
        case Field::Everywhere:
            format = clause.oneCharacter
                ? QStringLiteral("( * == \"%1\"cdw )")
                : QStringLiteral("( * == \"%1*\"cdw || kMDItemTextContent == \"%1*\"cdw )");
            break;
        }
        if (!query.isEmpty())
            query += QStringLiteral(" && ");
        query += format.arg(clause.token);
    }
    return query;
}

} // namespace SearchQuery
