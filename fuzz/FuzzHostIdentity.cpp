// Host identity from an arbitrary host name and resolver file, and the registry-style helpers on
// arbitrary text.
#include "FuzzCheck.h"
#include "mail/IPInfo.h"
#include "platform/HostSource.h"

#include <QCoreApplication>
#include <cstdint>
#include <cstdlib>

namespace {

const QString allowed =
    QStringLiteral("0123456789.-ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");

bool onlyHostCharacters(const QString& text) {
    for (const QChar c : text) {
        if (!allowed.contains(c))
            return false;
    }
    return true;
}

void checkNameList(const QString& text) {
    IPInfo info{HostSource()};
    info.SplitNameList(text);
    if (text.size() < 7) {
        check(!info.NameServers.has_value());
        return;
    }
    if (!info.NameServers)
        return;
    QStringList seen;
    for (const QString& item : *info.NameServers) {
        check(!item.isEmpty() && !item.contains(QLatin1Char(',')) && !seen.contains(item));
        check(text.contains(item));
        seen.append(item);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    return 0;
}

// The first line is the host name, the rest the resolver file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const qsizetype newline = input.indexOf('\n');
    const QString host = QString::fromLocal8Bit(newline < 0 ? input : input.left(newline));
    const QByteArray resolver = newline < 0 ? QByteArray() : input.mid(newline + 1);

    HostSource source;
    source.hostName = [host] { return host; };
    source.resolverConfig = [resolver] { return resolver; };
    IPInfo info(source);
    info.LoadHostInfo();
    check(info.HostInfoLoaded);
    check(onlyHostCharacters(info.HostName) && onlyHostCharacters(info.DomainName));
    check(!info.DomainName.isEmpty()); // a domain that filters to nothing is no domain
    if (info.NameServers) {
        for (const QString& server : *info.NameServers)
            check(!server.isEmpty() && !server.contains(QLatin1Char(',')));
    }
    // A second load reads nothing and changes nothing.
    const QString domain = info.DomainName;
    info.LoadHostInfo();
    check(info.DomainName == domain);

    // The registry-style reads answer every location, known or not, without failing.
    const QString text = QString::fromUtf8(input);
    (void)source.ReadRegValue(HostSource::hkeyLocalMachine, text, text);

    const QString filtered = IPInfo::FilterHostText(text);
    check(onlyHostCharacters(filtered) && IPInfo::FilterHostText(filtered) == filtered);
    checkNameList(text);
    return 0;
}
