#pragma once

#include "base/RuntimeError.h"
#include "log/Log.h"

#include <QString>
#include <exception>
#include <type_traits>
#include <utility>

// The one rule for errors in an event handler: nothing thrown leaves it (an exception through the
// event loop ends the monitor, which must keep supervising), and what went wrong is logged. A
// RuntimeError gives its description, any other exception (an index out of range, say) its
// what() text; describe turns that into the line written.
template <class Handler, class Describe>
void guarded(Log& log, Handler&& handler, Describe&& describe) {
    // A string builder returned from describe would point at its dead temporaries.
    static_assert(std::is_same_v<std::invoke_result_t<Describe, const QString&>, QString>,
                  "describe must return a QString");
    try {
        std::forward<Handler>(handler)();
    } catch (const RuntimeError& error) {
        log.WriteLog(describe(error.description()));
    } catch (const std::exception& error) {
        log.WriteLog(describe(QString::fromLocal8Bit(error.what())));
    }
}

template <class Handler> void guarded(Log& log, Handler&& handler) {
    guarded(log, std::forward<Handler>(handler),
            [](const QString& text) -> QString { return text; });
}
