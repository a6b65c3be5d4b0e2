#include "Settings/PreferenceRegister.h"

#include <QRegularExpression>

#include <cmath>

namespace {

using Type = PreferenceRegister::Type;
using Entry = PreferenceRegister::Entry;

const QString kFeedURL = QStringLiteral("https://tarnwick.example.org/appcast.xml");

// Jobs that may render at once; each runs 16 renderboxes, so the ceiling is a memory one.
constexpr qint64 kMinRenderJobs = 1;
constexpr qint64 kMaxRenderJobs = 10;
// Each renderbox with its engine processes takes a few hundred megabytes.
constexpr qint64 kMaxRenderEngines = 128;

std::optional<bool> parseBool(const QString &text)
{
    const QString t = text.trimmed().toLower();
    if (t == QLatin1String("true") || t == QLatin1String("yes") || t == QLatin1String("1") || t == QLatin1String("on"))
        return true;
    if (t == QLatin1String("false") || t == QLatin1String("no") || t == QLatin1String("0") || t == QLatin1String("off"))
        return false;
    return std::nullopt;
}

} // namespace

const QList<Entry> &PreferenceRegister::globalKeys()
{
    static const QList<Entry> entries = {
        {QStringLiteral("hoursBetweenUpdates"), Type::NumberString, QStringLiteral("24"), true,
         QStringLiteral("hours between automatic archiving runs (0: none)")},
        {QStringLiteral("useWindowsFriendlyFilenames"), Type::Boolean, true, true,
         QStringLiteral("file names that Windows can store too")},
        {QStringLiteral("includeTinyHeaderText"), Type::Boolean, true, true,
         QStringLiteral("the message header in small print on every PDF")},
        {QStringLiteral("maxNumRenderJobs"), Type::Integer, 1, true,
         QStringLiteral("how many jobs may render at the same time (1 to 10)")},
        {QStringLiteral("renderEnginesPerJob"), Type::Integer, 0, true,
         QStringLiteral("render engines (renderboxes) per job; 0: chosen from the machine, at least 16")},
        {QStringLiteral("StartArchivingOnLaunch"), Type::Boolean, QVariant(), true,
         QStringLiteral("archive every source 3 seconds after launch")},
        {QStringLiteral("Generalpdf"), Type::String, QVariant(), true, QStringLiteral("the general PDF path format")},
        {QStringLiteral("Generalattachment"), Type::String, QVariant(), true,
         QStringLiteral("the general attachment path format")},
        {QStringLiteral("Generaleml"), Type::String, QVariant(), true,
         QStringLiteral("the general .eml copy path format")},
        {QStringLiteral("SUFeedURL"), Type::String, kFeedURL, false, QStringLiteral("the update feed (unused on Linux)")},
        {QStringLiteral("EmailAccounts"), Type::StringList, QVariant(), false,
         QStringLiteral("the IMAP account sources, by e-mail address")},
        {QStringLiteral("FolderItems"), Type::StringList, QVariant(), false,
         QStringLiteral("the local folder sources, by absolute path")},
        {QStringLiteral("destBookmarkURL"), Type::BookmarkPair, QVariant(), false,
         QStringLiteral("the main destination folder")},
        {QStringLiteral("DraggedFilesDestination"), Type::FileAddress, QVariant(), false,
         QStringLiteral("the destination last chosen for dropped mail files")},
        {QStringLiteral("launchCount"), Type::Integer, QVariant(), false, QStringLiteral("number of launches")},
        {QStringLiteral("bugsnagHaveAsked"), Type::Boolean, QVariant(), false,
         QStringLiteral("the crash-report question was answered")},
        {QStringLiteral("bugsnagCanSendReports"), Type::Boolean, QVariant(), false,
         QStringLiteral("crash reports may be kept")},
        {QStringLiteral("zoomState"), Type::Floating, QVariant(), false,
         QStringLiteral("the search view's zoom, never below 0")},
        // The Google sign-in's client and server; empty: the values built into the program.
        {QStringLiteral("googleOAuthClientID"), Type::String, QVariant(), true,
         QStringLiteral("the Google OAuth client identifier (empty: the one built in)")},
        {QStringLiteral("googleOAuthClientSecret"), Type::String, QVariant(), true,
         QStringLiteral("the Google OAuth client secret (empty: the one built in)")},
        {QStringLiteral("googleOAuthAuthorizationURL"), Type::String, QVariant(), true,
         QStringLiteral("the sign-in page of the authorization server (empty: Google's)")},
        {QStringLiteral("googleOAuthTokenURL"), Type::String, QVariant(), true,
         QStringLiteral("the token endpoint (empty: Google's)")},
        {QStringLiteral("googleOAuthUserInfoURL"), Type::String, QVariant(), true,
         QStringLiteral("the user-information endpoint (empty: Google's)")},
        {QStringLiteral("googleOAuthScope"), Type::String, QVariant(), true,
         QStringLiteral("the mail access scope asked for (empty: Google's full mail access)")},
        {QStringLiteral("googleIMAPServer"), Type::String, QVariant(), true,
         QStringLiteral("the IMAP server of Google accounts, host[:port[:security]] (empty: Gmail's)")},
    };
    return entries;
}

const Entry *PreferenceRegister::globalEntry(const QString &key)
{
    for (const Entry &e : globalKeys())
        if (e.key == key)
            return &e;
    return nullptr;
}

QVariantMap PreferenceRegister::registeredDefaults()
{
    QVariantMap defaults;
    for (const Entry &e : globalKeys())
        if (e.defaultValue.isValid())
            defaults.insert(e.key, e.defaultValue);
    return defaults;
}

const QList<PreferenceRegister::SourceSuffix> &PreferenceRegister::perSourceSuffixes()
{
    static const QList<SourceSuffix> suffixes = {
        {QStringLiteral("__IMAP"), AppliesTo::Accounts, Type::String},
        {QStringLiteral("__authSystem"), AppliesTo::Accounts, Type::String},
        {QStringLiteral("__googleOAuthKey"), AppliesTo::Accounts, Type::String},
        {QStringLiteral("__IgnoreFolders"), AppliesTo::Accounts, Type::StringList},
        {QStringLiteral("__CertSHA256"), AppliesTo::Accounts, Type::String},
        {QStringLiteral("__DEST"), AppliesTo::Both, Type::BookmarkPair},
        {QStringLiteral("pdf"), AppliesTo::Both, Type::String},
        {QStringLiteral("attachment"), AppliesTo::Both, Type::String},
        {QStringLiteral("eml"), AppliesTo::Both, Type::String},
        {QStringLiteral("__LastFinished"), AppliesTo::Both, Type::Date},
        {QStringLiteral("__LastNumDone"), AppliesTo::Both, Type::Integer},
    };
    return suffixes;
}

QString PreferenceRegister::imapKey(const QString &key) { return key + QStringLiteral("__") + QStringLiteral("IMAP"); }
QString PreferenceRegister::authSystemKey(const QString &key) { return key + QStringLiteral("__authSystem"); }
QString PreferenceRegister::googleOAuthKeyKey(const QString &key) { return key + QStringLiteral("__googleOAuthKey"); }
QString PreferenceRegister::certificatePinKey(const QString &key) { return key + QStringLiteral("__CertSHA256"); }

QString PreferenceRegister::ignoreFoldersKey(const QString &key) { return key + QStringLiteral("__IgnoreFolders"); }
QString PreferenceRegister::destKey(const QString &key) { return key + QStringLiteral("__DEST"); }
QString PreferenceRegister::formatKey(const QString &key, const QString &kind) { return key + kind; }
QString PreferenceRegister::lastFinishedKey(const QString &key) { return key + QStringLiteral("__LastFinished"); }
QString PreferenceRegister::lastNumDoneKey(const QString &key) { return key + QStringLiteral("__LastNumDone"); }
QString PreferenceRegister::passwordKey(const QString &key) { return key + QStringLiteral("__") + QStringLiteral("PASS"); }

std::optional<qint64> PreferenceRegister::automaticRunInterval(const QVariant &hoursBetweenUpdates)
{
    bool ok = false;
    const double hours = hoursBetweenUpdates.toString().trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(hours) || hours <= 0)
        return std::nullopt;
    const double secs = hours * 3600.0;
    if (secs < double(kMinRunIntervalSecs))
        return kMinRunIntervalSecs;
    if (secs > double(kMaxRunIntervalSecs))
        return kMaxRunIntervalSecs;
    return qint64(secs);
}

QString PreferenceRegister::hoursFieldText(const QString &typed)
{
    QString digits;
    for (QChar c : typed)
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            digits += c;
    return digits;
}

std::optional<QVariant> PreferenceRegister::parseGeneralValue(const Entry &entry, const QString &text, QString *reason)
{
    const auto refuse = [&](const QString &why) -> std::optional<QVariant> {
        if (reason)
            *reason = why;
        return std::nullopt;
    };
    switch (entry.type) {
    case Type::Boolean:
        if (const auto b = parseBool(text))
            return QVariant(*b);
        return refuse(QStringLiteral("%1 takes true or false, not '%2'").arg(entry.key, text));
    case Type::Integer: {
        bool ok = false;
        const qint64 n = text.trimmed().toLongLong(&ok);
        if (!ok)
            return refuse(QStringLiteral("%1 takes a whole number, not '%2'").arg(entry.key, text));
        if (entry.key == QLatin1String("maxNumRenderJobs") && (n < kMinRenderJobs || n > kMaxRenderJobs))
            return refuse(QStringLiteral("%1 takes a number from %2 to %3, not %4")
                              .arg(entry.key).arg(kMinRenderJobs).arg(kMaxRenderJobs).arg(n));
        if (entry.key == QLatin1String("renderEnginesPerJob") && (n < 0 || n > kMaxRenderEngines))
            return refuse(QStringLiteral("%1 takes a number from 0 to %2, not %3").arg(entry.key).arg(kMaxRenderEngines).arg(n));
        return QVariant(n);
    }
    case Type::NumberString: {
        // Kept as the text the hours field would hold; only plain decimal numbers, so that
        // what is stored reads back as the same number everywhere.
        const QString t = text.trimmed();
        bool ok = false;
        const double n = t.toDouble(&ok);
        static const QRegularExpression plain(QStringLiteral("^[0-9]+(\\.[0-9]+)?$"));
        if (!ok || !std::isfinite(n) || !plain.match(t).hasMatch())
            return refuse(QStringLiteral("%1 takes a number of hours of 0 or more, not '%2'").arg(entry.key, text));
        return QVariant(t);
    }
    case Type::Floating: {
        bool ok = false;
        const double n = text.trimmed().toDouble(&ok);
        if (!ok || !std::isfinite(n))
            return refuse(QStringLiteral("%1 takes a number, not '%2'").arg(entry.key, text));
        return QVariant(n);
    }
    case Type::String:
        return QVariant(text);
    default:
        return refuse(QStringLiteral("%1 holds a %2 and is not set this way").arg(entry.key, typeName(entry.type)));
    }
}

QString PreferenceRegister::typeName(Type type)
{
    switch (type) {
    case Type::NumberString: return QStringLiteral("number (as text)");
    case Type::Boolean: return QStringLiteral("boolean");
    case Type::Integer: return QStringLiteral("integer");
    case Type::Floating: return QStringLiteral("floating number");
    case Type::String: return QStringLiteral("string");
    case Type::StringList: return QStringLiteral("list of strings");
    case Type::Date: return QStringLiteral("date");
    case Type::Data: return QStringLiteral("data");
    case Type::FileAddress: return QStringLiteral("file address");
    case Type::BookmarkPair: return QStringLiteral("folder reference");
    }
    return QString();
}
