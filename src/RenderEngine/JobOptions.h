#pragma once
// JobOptions: the string-keyed dictionary that describes one archiving job. Built once
// per job, then read-only; copied into every render engine and renderbox job file.

#include <QVariantMap>

using JobOptions = QVariantMap;

namespace JobKey {
inline const QString destFolder = QStringLiteral("dest_folder");
inline const QString destFolderOverride = QStringLiteral("dest_folder_override");
inline const QString pdfFormat = QStringLiteral("pdf_format");
inline const QString attachmentFormat = QStringLiteral("attachment_format");
inline const QString emlFormat = QStringLiteral("eml_format");
inline const QString windowsFilenames = QStringLiteral("windows_filenames");
inline const QString tinyHeaders = QStringLiteral("tiny_headers");
inline const QString emlFiles = QStringLiteral("eml_files");
// Render engines (each with its renderbox) of the job; absent or 0: chosen from the machine.
inline const QString renderEngines = QStringLiteral("render_engines");
// IMAP jobs.
inline const QString emailUsername = QStringLiteral("email_username");
inline const QString imapServer = QStringLiteral("imap_server");
inline const QString imapPort = QStringLiteral("imap_port");
inline const QString imapTransport = QStringLiteral("imap_transport");
inline const QString authSystem = QStringLiteral("auth_system");
inline const QString accessToken = QStringLiteral("access_token");
inline const QString password = QStringLiteral("password");
inline const QString foldersToSkip = QStringLiteral("folders_to_skip");
// The SHA-256 fingerprint of the server certificate pinned for the account ("" when none
// is stored yet).
inline const QString imapCertificateSHA256 = QStringLiteral("imap_cert_sha256");
// Per message, not per job: which of the outputs of a path that several different
// messages expand to belongs to this one (1 or absent: the path as the formats give it;
// n >= 2: " (n)" added, see MessageToHTMLToPDF::destinationPath).
inline const QString outputIndex = QStringLiteral("output_index");
// Per message: tags that the message's file carries outside the message (a Maildir flag).
inline const QString extraTags = QStringLiteral("extra_tags");
} // namespace JobKey
