#include "MailCoreGTM/GTMOAuth2Configuration.h"

#include "Settings/Preferences.h"

#ifndef TARNWICK_GOOGLE_CLIENT_ID
#define TARNWICK_GOOGLE_CLIENT_ID ""
#endif
#ifndef TARNWICK_GOOGLE_CLIENT_SECRET
#define TARNWICK_GOOGLE_CLIENT_SECRET ""
#endif

namespace {

QString stored(Preferences &prefs, const char *key, const QString &builtIn)
{
    const QString value = prefs.stringForKey(QString::fromLatin1(key)).trimmed();
    return value.isEmpty() ? builtIn : value;
}

} // namespace

QString GTMOAuth2Configuration::emailScope() { return QStringLiteral("https://www.googleapis.com/auth/userinfo.email"); }
QString GTMOAuth2Configuration::defaultMailScope() { return QStringLiteral("https://mail.google.com/"); }
QString GTMOAuth2Configuration::defaultIMAPServer() { return QStringLiteral("imap.gmail.com"); }

GTMOAuth2Configuration GTMOAuth2Configuration::fromPreferences(Preferences &prefs)
{
    GTMOAuth2Configuration c;
    c.clientID = stored(prefs, "googleOAuthClientID", QStringLiteral(TARNWICK_GOOGLE_CLIENT_ID));
    c.clientSecret = stored(prefs, "googleOAuthClientSecret", QStringLiteral(TARNWICK_GOOGLE_CLIENT_SECRET));
    c.authorizationURL =
        QUrl(stored(prefs, "googleOAuthAuthorizationURL", QStringLiteral("https://accounts.google.com/o/oauth2/auth")));
    c.tokenURL = QUrl(stored(prefs, "googleOAuthTokenURL", QStringLiteral("https://accounts.google.com/o/oauth2/token")));
    c.userInfoURL =
        QUrl(stored(prefs, "googleOAuthUserInfoURL", QStringLiteral("https://www.googleapis.com/oauth2/v1/userinfo")));
    c.scope = stored(prefs, "googleOAuthScope", defaultMailScope());
    c.imapServer = stored(prefs, "googleIMAPServer", defaultIMAPServer());
    return c;
}

QString GTMOAuth2Configuration::missingClientIDExplanation()
{
    return QStringLiteral("Google sign-in needs a Google OAuth client identifier of your own: build Tarnwick with "
                          "-DTARNWICK_GOOGLE_CLIENT_ID=… -DTARNWICK_GOOGLE_CLIENT_SECRET=…, or store them with "
                          "`tarnwick config set googleOAuthClientID …` and `tarnwick config set "
                          "googleOAuthClientSecret …`.");
}
