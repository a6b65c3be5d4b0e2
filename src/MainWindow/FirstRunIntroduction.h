#pragma once
// FirstRunIntroduction: walks a first-time user (no destination folder yet) through the
// set-up in three notes on the main window: choose where the archive goes, add an
// account or a folder, then start archiving. Each note has one "OK" button; what follows
// it waits the pauses below, so that the settings view the note points at is in front.
//
// The window supplies what the notes lead to (the settings view, the destination
// chooser, the add-account dialog) and how a note is shown; a test may supply its own
// and shorten the pauses. Owned by the window; stops when destroyed.

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>

class FirstRunIntroduction : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        std::function<void()> showSettings;
        // Shows a note; calls `ok` once when the user has read it.
        std::function<void(const QString &title, const QString &text, std::function<void()> ok)> tell;
        std::function<void()> chooseDestination;
        std::function<void()> addAccount;
        std::function<bool()> hasDestination;
    };
    FirstRunIntroduction(Hooks hooks, QObject *parent = nullptr);

    // Starts the walk-through 0.5 s later (scaled), when no destination is set.
    void startIfNeeded();
    // Multiplies every pause (tests: 0.01).
    void setTimeScale(double scale) { m_scale = scale; }
    // The step reached: 0 not started, 1 destination, 2 waiting for a destination,
    // 3 accounts, 4 start archiving (the last).
    int step() const { return m_step; }

private:
    void after(double seconds, std::function<void()> then);
    void askForDestination();
    void waitForDestination();
    void askForAccounts();
    void sayStartArchiving();

    Hooks m_hooks;
    double m_scale = 1.0;
    int m_step = 0;
};
