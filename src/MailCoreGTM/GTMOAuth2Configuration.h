#pragma once
// Where and as whom the Google sign-in talks: the endpoints, the scope, the program's
// client identifier and secret, and the IMAP server of Google accounts. Built-in values
// for Google, each replaced by its preference when one is stored, so that a user (or a
// test) can point the sign-in at another authorization server:
//
//   "googleOAuthClientID", "googleOAuthClientSecret"      the client identity
//   "googleOAuthAuthorizationURL", "googleOAuthTokenURL",
//   "googleOAuthUserInfoURL"                              the endpoints
//   "googleOAuthScope"                                    the mail access scope
//   "googleIMAPServer"                                    host[:port[:security]]
//
// The program ships no client identifier it does not own: the built-in identity is the
// one given when building (-DTARNWICK_GOOGLE_CLIENT_ID=… -DTARNWICK_GOOGLE_CLIENT_SECRET=…),
// and none when none was given.

#include <QString>
#include <QUrl>

class Preferences;

struct GTMOAuth2Configuration {
    QString clientID;
    QString clientSecret;
    QUrl authorizationURL;
    QUrl tokenURL;
    QUrl userInfoURL;
    QString scope;
    QString imapServer;

    /// The built-in values with the stored preferences over them.
    static GTMOAuth2Configuration fromPreferences(Preferences &prefs);
    bool hasClientID() const { return !clientID.isEmpty(); }
    /// One sentence on how to give the program a client identifier.
    static QString missingClientIDExplanation();

    /// The scope that brings the user's address back with the tokens.
    static QString emailScope();
    static QString defaultMailScope();
    static QString defaultIMAPServer();
};
