#pragma once
// MainThreadWatch: measures how long the event loop of the thread it lives on goes
// without turning, by a short timer that notes how late each of its ticks comes. A
// diagnostic for the benchmarks: a window on that thread would have been frozen that
// long.

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class MainThreadWatch : public QObject {
public:
    explicit MainThreadWatch(QObject *parent = nullptr);
    void start();
    void stop() { m_timer.stop(); }
    // Counts the time since the last tick too: call it where the watched work ends, since
    // a stall that ends the loop is never followed by a tick.
    void sample();
    // The longest time between two turns of the loop beyond the tick itself, in ms.
    qint64 longestStallMs() const { return m_longest; }

private:
    static constexpr int kTickMs = 5;
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};
