#include "platform/EventPump.h"

#include <QCoreApplication>

namespace EventPump {

void letEventsRun() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

} // namespace EventPump
