#include "Events.h"

#include <QCoreApplication>
#include <QEventLoop>

// Qt's Windows event dispatcher sends posted events from a timer of its own, which a loop that only
// calls processEvents does not always run: with no other timer active, a posted event (the answer
// of a host look-up, any queued call) then waits until something else happens, and a wait for it
// blocks for ever. Every pump sends them first.

void ProcessMessages() {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void WaitForEvents() {
    if (!QCoreApplication::instance())
        return;
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}
