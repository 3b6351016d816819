#include "platform/LaunchSpec.h"

#include <cstring>

int signalByName(const QString& name) {
    bool isNumber = false;
    const int number = name.toInt(&isNumber);
    if (isNumber)
        return number >= 1 && number < SIGRTMIN ? number : 0;
    QString bare = name.toUpper();
    if (bare.startsWith(QLatin1String("SIG")))
        bare.remove(0, 3);
    const QByteArray wanted = bare.toLatin1();
    for (int s = 1; s < SIGRTMIN; ++s) {
        const char* abbreviation = ::sigabbrev_np(s);
        if (abbreviation != nullptr && wanted == abbreviation)
            return s;
    }
    return 0;
}
