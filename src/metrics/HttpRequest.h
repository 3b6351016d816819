#pragma once

#include <QByteArray>

// The head of one HTTP/1.x request, read from the bytes received so far. Only what the metrics
// endpoint needs is kept: the method and the path. A body is never read.
struct HttpRequest {
    enum class Outcome {
        Incomplete, // the head has not ended yet and nothing wrong was seen
        Complete,
        Malformed,
    };

    Outcome outcome = Outcome::Incomplete;
    QByteArray method;
    QByteArray path; // the target's path, without query; absolute-form targets are reduced to it

    // Judges the received bytes. Anything that cannot start a request (binary data, a TLS
    // greeting, a control character) is malformed at once, before the head ends.
    static HttpRequest parse(const QByteArray& received);
};
