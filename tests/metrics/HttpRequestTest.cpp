#include "metrics/HttpRequest.h"

#include <gtest/gtest.h>

namespace {

using Outcome = HttpRequest::Outcome;

struct Row {
    QByteArray received;
    Outcome outcome;
    QByteArray method = {}, path = {}; // when complete
};

} // namespace

// The reader that faces the network, byte by byte: what it accepts, what it waits for and what it
// refuses at once.
TEST(HttpRequestTest, JudgesEachHeadAsCompleteIncompleteOrMalformed) {
    const Row rows[] = {
        {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", Outcome::Complete, "GET", "/metrics"},
        {"HEAD /metrics?a=1&b HTTP/1.0\n\n", Outcome::Complete, "HEAD", "/metrics"},
        {"\r\n\r\nGET http://h:9/metrics?x HTTP/1.1\r\n\r\n", Outcome::Complete, "GET", "/metrics"},
        {"GET https://host HTTP/1.1\r\n\r\n", Outcome::Complete, "GET", "/"},
        {"GET /metrics HTTP/1.1\r\nX: a\tb\r\nY:\r\n\r\nbody", Outcome::Complete, "GET",
         "/metrics"},
        {"POST /x HTTP/1.1\n\r\n", Outcome::Complete, "POST", "/x"},
        {"OPTIONS * HTTP/1.1\r\n\r\n", Outcome::Complete, "OPTIONS", "*"},
        // Nothing wrong yet: the head goes on.
        {"", Outcome::Incomplete},
        {"\r\n", Outcome::Incomplete},
        {"GE", Outcome::Incomplete},
        {"GET /metr", Outcome::Incomplete},
        {"GET /metrics HTTP/1.1\r\nHost: x\r\n", Outcome::Incomplete},
        {"GET /metrics HTTP/1.1\r\n\r", Outcome::Incomplete},
        // Refused without waiting for the end of the head.
        {QByteArray("\x16\x03\x01\x02\x00", 5), Outcome::Malformed},
        {" GET / HTTP/1.1", Outcome::Malformed},
        {"G@T", Outcome::Malformed},
        {"GET\r\n", Outcome::Malformed},
        {QByteArray("GET /\0", 6), Outcome::Malformed},
        {"GET /\x1b[2J", Outcome::Malformed},
        // Refused once the head has ended.
        {"GET /metrics HTTP/2.0\r\n\r\n", Outcome::Malformed},
        {"GET /metrics\r\n\r\n", Outcome::Malformed},
        {"GET /a b HTTP/1.1\r\n\r\n", Outcome::Malformed},
        {"GET /a\x7f HTTP/1.1\r\n\r\n", Outcome::Malformed},
        {"GET /\xc3\xa9 HTTP/1.1\r\n\r\n", Outcome::Malformed},
        {"GET ?metrics HTTP/1.1\r\n\r\n", Outcome::Malformed},
        {"GET metrics HTTP/1.1\r\n\r\n", Outcome::Malformed},
        {"GET / HTTP/1.1\r\nno colon\r\n\r\n", Outcome::Malformed},
        {"GET / HTTP/1.1\r\n: empty name\r\n\r\n", Outcome::Malformed},
        {"GET / HTTP/1.1\r\nA: b\r\n folded\r\n\r\n", Outcome::Malformed},
        {"GET / HTTP/1.1\r\nBad Name: b\r\n\r\n", Outcome::Malformed},
    };
    for (const Row& row : rows) {
        const HttpRequest request = HttpRequest::parse(row.received);
        const QByteArray shown = row.received.toPercentEncoding();
        EXPECT_EQ(request.outcome, row.outcome) << shown.constData();
        if (row.outcome == Outcome::Complete) {
            EXPECT_EQ(request.method, row.method) << shown.constData();
            EXPECT_EQ(request.path, row.path) << shown.constData();
        }
        // A head that arrives in pieces is never refused before its last byte: every beginning
        // of a complete one waits.
        for (qsizetype n = 0; row.outcome == Outcome::Complete && n < row.received.size(); ++n) {
            const Outcome early = HttpRequest::parse(row.received.first(n)).outcome;
            EXPECT_NE(early, Outcome::Malformed) << shown.constData() << " cut at " << n;
        }
    }
}
