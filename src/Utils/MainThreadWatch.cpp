#include "Utils/MainThreadWatch.h"

MainThreadWatch::MainThreadWatch(QObject *parent) : QObject(parent)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(kTickMs);
    connect(&m_timer, &QTimer::timeout, this, &MainThreadWatch::sample);
}

void MainThreadWatch::sample()
{
    if (!m_timer.isActive())
        return;
    const qint64 now = m_clock.elapsed();
    m_longest = qMax(m_longest, now - m_last - kTickMs);
    m_last = now;
}

void MainThreadWatch::start()
{
    m_clock.start();
    m_last = 0;
    m_timer.start();
}
