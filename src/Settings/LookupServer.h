#pragma once
// LookupServer: the IMAP host of the common mail providers, found from an e-mail
// address's domain. Our own table, kept in LookupServer.cpp; a provider's host is filled
// in alone, so port 993 and TLS apply, which every provider listed uses.

#include <QString>
#include <QStringList>

class LookupServer {
public:
    LookupServer() = delete;

    /// The IMAP host for `email`, matched on the whole domain after the last "@" in any
    /// case (a subdomain is not its provider's); the empty string when the provider is
    /// not known.
    static QString lookupServer(const QString &email);
    /// The domains the table knows, for listings and tests.
    static QStringList knownDomains();
};
