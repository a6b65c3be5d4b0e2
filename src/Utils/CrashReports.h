#pragma once
// CrashReports: with the user's consent, what the program knew when it crashed (the
// signal and the call stack) is written to a file in a local folder
// ($XDG_STATE_HOME/Tarnwick/crashes), for the user to look at and send if they wish.
// Nothing is ever sent by the program. The signal then takes its usual course.

#include <QString>

class CrashReports {
public:
    CrashReports() = delete;
    // The folder reports go to: $XDG_STATE_HOME/Tarnwick/crashes (~/.local/state/…).
    static QString folder();
    // Installs the handlers for crashing signals, writing into `folder` (made with mode
    // 0700); false when the folder cannot be made. `user` says which process it was:
    // kMainApplication or kRenderbox.
    static bool install(const QString &folder, const char *user);
    static constexpr const char *kMainApplication = "aUser";
    static constexpr const char *kRenderbox = "aRenderbox";
};
