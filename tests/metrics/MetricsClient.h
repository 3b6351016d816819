#pragma once

#include <QByteArray>
#include <QMap>

// Clients of the metrics endpoint for the tests, driven through the event loop so that they
// work against an endpoint in the same thread as well as against the real binary.
namespace metricsclient {

struct Scrape {
    int status = 0; // 0 when no answer came
    QByteArray contentType;
    QByteArray body;
};

// GET /metrics through QNetworkAccessManager.
Scrape get(quint16 port);

// Sends the bytes on a fresh connection and returns all the endpoint sent before it closed.
QByteArray exchange(quint16 port, const QByteArray& request);

// "name{labels}" -> value of every sample line.
QMap<QByteArray, QByteArray> samples(const QByteArray& exposition);

// promtool's verdict on the exposition: empty when it passes, its complaint otherwise; the
// text "promtool not installed" when it is missing.
QByteArray promtoolComplaint(const QByteArray& exposition);

} // namespace metricsclient
