#pragma once
// The renderbox side of rendering: a child process of the front end that renders one
// message at a time from its private folder and reports each request's end.
//
// Process entry selects this mode when the arguments hold "--jsonArgs"; the JSON object
// after it names the renderbox ("renderboxID") and its folder ("renderboxFolder"), and
// nothing else is read from it.

#include <QString>
#include <QVariantMap>

class MessageToHTMLToPDF;

// Process-wide state of a renderbox.
extern bool gRenderBoxApp;
extern QVariantMap gRenderBoxOptions;
extern QString gRenderboxID;
extern QString gRenderboxFolder;
extern MessageToHTMLToPDF *gEngine;
extern bool gGotJob;
extern QString gJSONPath;
extern QString gEmlPath;
extern QString gPathToAttachments;
extern QString gCurrentFile;

namespace Renderbox {

// The JSON argument after "--jsonArgs" in argv, or a null string when there is none.
QString jsonArgument(int argc, char **argv);

// Runs the renderbox: the widget application with an offscreen platform, listening
// until told to quit, idle for too long, or orphaned. Returns the exit status.
int run(int argc, char **argv, const QString &jsonArgument);

// Starts listening for requests with the parsed launch argument (gRenderBoxOptions).
void startListeningAsRenderbox(const QVariantMap &options);

// The first job file ("*.json") of the renderbox folder, or a null string.
QString findNextJob(const QString &folder);

} // namespace Renderbox
