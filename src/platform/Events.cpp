#include "Events.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

void WaitForMessages(int maxMilliseconds) {
    if (!QCoreApplication::instance())
        return;
    // A single-shot timer bounds the blocking wait; WaitForMoreEvents returns after the first
    // batch of events, which may be that timer.
    QTimer bound;
    bound.setSingleShot(true);
    bound.setTimerType(Qt::PreciseTimer);
    bound.start(maxMilliseconds < 0 ? 0 : maxMilliseconds);
    WaitForEvents();
}
