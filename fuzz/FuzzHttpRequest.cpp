// The metrics endpoint's request reader on arbitrary bytes: it never crashes, a complete head
// names a token method and a path without blanks, controls or query, and no beginning of a
// complete head is refused (a request that arrives in pieces must not be cut off early).
#include "FuzzCheck.h"
#include "metrics/HttpRequest.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray received(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const HttpRequest request = HttpRequest::parse(received);
    check(HttpRequest::parse(received).outcome == request.outcome);
    if (request.outcome != HttpRequest::Outcome::Complete)
        return 0;
    check(!request.method.isEmpty() && !request.path.isEmpty());
    for (const char c : request.method)
        check(static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7F);
    for (const char c : request.path)
        check(static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7F &&
              c != '?');
    // Every beginning up to 512 bytes, then a sample, so long inputs stay quick.
    for (qsizetype n = 0; n < received.size(); n += n < 512 ? 1 : 97)
        check(HttpRequest::parse(received.first(n)).outcome != HttpRequest::Outcome::Malformed);
    return 0;
}
