#pragma once
// JobArguments: the options shared by the commands that run or preview a local-file job
// (archive, paths, render): destination, the three path formats and the input paths,
// and the JobOptions they make together with the preference store.

#include "RenderEngine/JobOptions.h"

#include <QSet>
#include <QString>
#include <QStringList>

struct JobArguments {
    QString dest;
    QString pdfFormat, attachmentFormat, emlFormat; // null: the general format
    int engines = 0;                                // --engines N; 0: the preference, else automatic
    QSet<QString> flags;                            // switches given, such as "--json"
    QStringList paths;

    // Parses `args`; `switches` are the flags the command accepts besides the shared
    // options. False with `error` set on bad usage or when no path is given.
    bool parse(const QStringList &args, const QSet<QString> &switches, QString &error);
    // The job's options: formats from the arguments or the general formats, destination
    // from --dest or the configured one, the input paths made absolute as "eml_files".
    JobOptions jobOptions() const;
    // "%d EML files to %@": the number of inputs and the destination folder's name, as
    // for files dropped on the application.
    static QString jobNameFor(const JobOptions &options);
};
