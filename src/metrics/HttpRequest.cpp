#include "metrics/HttpRequest.h"

#include <QList>

namespace {

bool isTokenChar(char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    return QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool isToken(QByteArrayView text) {
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        if (!isTokenChar(c))
            return false;
    }
    return true;
}

// Tab is the only control character a request head may hold (inside header values).
bool hasForbiddenByte(QByteArrayView text) {
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t' && c != '\r' && c != '\n') || u == 0x7F)
            return true;
    }
    return false;
}

HttpRequest malformed() {
    HttpRequest request;
    request.outcome = HttpRequest::Outcome::Malformed;
    return request;
}

QByteArray pathOf(const QByteArray& target) {
    QByteArray path = target;
    if (path.startsWith("http://") || path.startsWith("https://")) {
        const qsizetype authority = path.indexOf("//") + 2;
        const qsizetype slash = path.indexOf('/', authority);
        path = slash < 0 ? QByteArray("/") : path.mid(slash);
    }
    const qsizetype query = path.indexOf('?');
    if (query >= 0)
        path.truncate(query);
    return path;
}

} // namespace

HttpRequest HttpRequest::parse(const QByteArray& received) {
    // Empty lines before the request line are tolerated, as clients may send them after a body.
    qsizetype start = 0;
    while (start < received.size() && (received[start] == '\r' || received[start] == '\n'))
        ++start;
    const QByteArrayView data = QByteArrayView(received).sliced(start);
    if (hasForbiddenByte(data))
        return malformed();

    // The method must be a token from its first byte on, so garbage is refused without waiting.
    const qsizetype firstLineEnd = data.indexOf('\n');
    const QByteArrayView firstLine = firstLineEnd < 0 ? data : data.first(firstLineEnd);
    const qsizetype firstSpace = firstLine.indexOf(' ');
    if (firstSpace == 0 || (firstLineEnd >= 0 && firstSpace < 0))
        return malformed();
    for (const char c : firstSpace < 0 ? firstLine : firstLine.first(firstSpace)) {
        if (!isTokenChar(c))
            return malformed();
    }

    qsizetype headEnd = -1;
    for (qsizetype i = data.indexOf('\n'); i >= 0; i = data.indexOf('\n', i + 1)) {
        const qsizetype next = i + 1;
        if (next < data.size() && data[next] == '\n') {
            headEnd = next;
            break;
        }
        if (next + 1 < data.size() && data[next] == '\r' && data[next + 1] == '\n') {
            headEnd = next + 1;
            break;
        }
    }
    if (headEnd < 0)
        return {};

    QList<QByteArrayView> lines;
    for (qsizetype begin = 0; begin < headEnd;) {
        qsizetype end = data.indexOf('\n', begin);
        const qsizetype next = end + 1;
        if (end > begin && data[end - 1] == '\r')
            --end;
        lines.append(data.sliced(begin, end - begin));
        begin = next;
    }
    while (!lines.isEmpty() && lines.back().isEmpty())
        lines.removeLast();
    if (lines.isEmpty())
        return malformed();

    const QByteArrayView requestLine = lines.front();
    const QList<QByteArray> parts = requestLine.toByteArray().split(' ');
    if (parts.size() != 3 || !isToken(parts[0]) || parts[1].isEmpty() ||
        (parts[2] != "HTTP/1.1" && parts[2] != "HTTP/1.0"))
        return malformed();
    for (const char c : parts[1]) {
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F)
            return malformed();
    }
    // Header lines are "name: value"; folded continuation lines are obsolete and refused.
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon <= 0 || !isToken(lines[i].first(colon)))
            return malformed();
    }

    HttpRequest request;
    request.outcome = Outcome::Complete;
    request.method = parts[0];
    request.path = pathOf(parts[1]);
    // A target is a path ("/..."), an absolute URL reduced to one, or "*"; "?x" or "x" is none.
    if (!request.path.startsWith('/') && request.path != "*")
        return malformed();
    return request;
}
