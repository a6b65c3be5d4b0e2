#include "Settings/LookupServer.h"

#include <QHash>

namespace {

struct Provider {
    const char *host;
    std::initializer_list<const char *> domains;
};

// The providers' published IMAP hosts (all on 993 with TLS). Custom domains hosted by
// Google Workspace or Microsoft 365 cannot be told from their names; their users give
// imap.gmail.com or outlook.office365.com themselves.
const Provider kProviders[] = {
    {"imap.gmail.com", {"gmail.com", "googlemail.com"}},
    {"outlook.office365.com",
     {"outlook.com", "hotmail.com", "live.com", "msn.com", "passport.com", "outlook.de", "outlook.fr",
      "outlook.co.uk", "outlook.es", "outlook.it", "hotmail.co.uk", "hotmail.de", "hotmail.fr", "hotmail.it",
      "hotmail.es", "live.co.uk", "live.de", "live.fr", "live.nl", "live.it"}},
    {"imap.mail.yahoo.com",
     {"yahoo.com", "ymail.com", "rocketmail.com", "yahoo.co.uk", "yahoo.de", "yahoo.fr", "yahoo.it", "yahoo.es",
      "yahoo.ca", "yahoo.com.au", "yahoo.co.jp"}},
    {"imap.mail.me.com", {"icloud.com", "me.com", "mac.com"}},
    {"imap.aol.com", {"aol.com", "aim.com", "aol.de", "aol.fr", "aol.co.uk"}},
    {"imap.gmx.net", {"gmx.de", "gmx.net", "gmx.at", "gmx.ch"}},
    {"imap.gmx.com", {"gmx.com", "gmx.us", "gmx.co.uk", "gmx.fr", "gmx.es"}},
    {"imap.web.de", {"web.de"}},
    {"imap.fastmail.com", {"fastmail.com", "fastmail.fm", "fastmail.net", "fastmail.org", "messagingengine.com"}},
    {"imap.mailbox.org", {"mailbox.org"}},
    {"posteo.de", {"posteo.de", "posteo.net", "posteo.org", "posteo.eu"}},
    {"imap.zoho.com", {"zoho.com", "zohomail.com"}},
    {"imap.zoho.eu", {"zoho.eu", "zohomail.eu"}},
    {"imap.yandex.com", {"yandex.com", "yandex.ru", "ya.ru", "yandex.ua", "yandex.by", "yandex.kz"}},
    {"imap.mail.ru", {"mail.ru", "inbox.ru", "list.ru", "bk.ru", "internet.ru"}},
    {"secureimap.t-online.de", {"t-online.de"}},
    {"imap.1und1.de", {"online.de", "onlinehome.de"}},
    {"imap.ionos.com", {"ionos.com"}},
    {"imap.seznam.cz", {"seznam.cz", "email.cz", "post.cz"}},
    {"imap.qq.com", {"qq.com", "foxmail.com"}},
    {"imap.163.com", {"163.com"}},
    {"imap.126.com", {"126.com"}},
    {"imap.naver.com", {"naver.com"}},
    {"imap.comcast.net", {"comcast.net"}},
    {"imap.orange.fr", {"orange.fr", "wanadoo.fr"}},
    {"imap.free.fr", {"free.fr"}},
    {"imap.laposte.net", {"laposte.net"}},
    {"imapmail.libero.it", {"libero.it"}},
    {"imap.wp.pl", {"wp.pl"}},
    {"imap.rambler.ru", {"rambler.ru"}},
    {"imap.ukr.net", {"ukr.net"}},
    {"imap.dismail.de", {"dismail.de"}},
    {"imap.migadu.com", {"migadu.com"}},
    {"mail.riseup.net", {"riseup.net"}},
    {"imap.purelymail.com", {"purelymail.com"}},
};

const QHash<QString, QString> &hostByDomain()
{
    static const QHash<QString, QString> table = [] {
        QHash<QString, QString> t;
        for (const Provider &p : kProviders)
            for (const char *domain : p.domains)
                t.insert(QString::fromLatin1(domain), QString::fromLatin1(p.host));
        return t;
    }();
    return table;
}

} // namespace

QString LookupServer::lookupServer(const QString &email)
{
    const qsizetype at = email.lastIndexOf(QLatin1Char('@'));
    if (at < 0)
        return QString();
    QString domain = email.mid(at + 1).trimmed().toLower();
    while (domain.endsWith(QLatin1Char('.'))) // a fully qualified "example.com."
        domain.chop(1);
    const auto it = hostByDomain().constFind(domain);
    return it == hostByDomain().cend() ? QString() : it.value();
}

QStringList LookupServer::knownDomains()
{
    QStringList domains = hostByDomain().keys();
    domains.sort();
    return domains;
}
