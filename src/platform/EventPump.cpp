#include "EventPump.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QTimer>

namespace EventPump {

void letEventsRun() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void waitForEvents(int maxMs) {
    if (maxMs <= 0) {
        letEventsRun();
        return;
    }
    // A private timer guarantees the wake-up; the dispatcher returns early on any other event.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(maxMs);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

} // namespace EventPump
