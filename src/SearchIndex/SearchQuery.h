#pragma once
// SearchQuery: what the search view's three fields ask for. A field is cut into tokens
// (words, and phrases in double quotes); each token of each field is one clause, and
// every clause must hold. The subject field matches inside file names, the address field
// inside PDF keywords and authors, the everywhere field words (or the starts of words) of
// every attribute and of the text.
//
// `currentQueryString` writes the query as the platform metadata query language spells
// it, for logs and for the record; the index answers the clauses themselves.

#include <QList>
#include <QString>
#include <QStringList>

namespace SearchQuery {

struct Fields {
    QString subject;
    QString email;
    QString everywhere;
    bool isEmpty() const { return subject.trimmed().isEmpty() && email.trimmed().isEmpty() && everywhere.trimmed().isEmpty(); }
    bool operator==(const Fields &) const = default;
};

/// Cuts a field into tokens. Double quotes delimit phrases (their words joined by one
/// space, the quotes removed); other tokens are the space-separated words, trimmed; a
/// token ending in ":" is joined with the one after it ("from: anna" stays one token).
QStringList readSpaceAndQuoteDelimitedStringIntoArray(const QString &field);

enum class Field { Subject, Email, Everywhere };

/// One condition on a file. A token of one character asks for less: names and
/// addresses that start with it, or a word equal to it (not in the text).
struct Clause {
    Field field;
    QString token;
    bool oneCharacter;
};

/// The clauses of the subject, then the address, then the everywhere field.
QList<Clause> clauses(const Fields &fields);

/// The clauses in the metadata query language, joined with " && "; empty when every
/// field is.
QString currentQueryString(const Fields &fields);

} // namespace SearchQuery
