#include "mail/IPInfo.h"

#include "platform/EventPump.h"

#include <utility>

namespace {

// The characters a DNS name may hold. The hyphen is one: dropping it named somebody else's
// domain (corp-net.example became corpnet.example).
const QString hostCharacters =
    QStringLiteral("0123456789.-ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");

} // namespace

IPInfo::IPInfo(HostSource source) : source_(std::move(source)) {}

IPInfo& IPInfo::shared() {
    static IPInfo instance;
    return instance;
}

void IPInfo::LoadHostInfo() {
    if (HostInfoLoaded) {
        return;
    }
    // Set before reading: the name-server split lets events run, and a call arriving then
    // must return at once.
    HostInfoLoaded = true;
    ReadHostName();
    ReadDomainName();
    ReadNameServers();
}

QString IPInfo::FilterHostText(const QString& text) {
    QString kept;
    for (const QChar c : text.trimmed()) {
        if (hostCharacters.contains(c)) {
            kept.append(c);
        }
    }
    return kept;
}

void IPInfo::SplitNameList(const QString& text) {
    if (text.size() < 7) {
        return;
    }
    const QString list = text + u',';
    qsizetype position = -1; // just before the first character
    while (position != list.size() - 1) {
        const qsizetype comma = list.indexOf(u',', position + 1);
        const QString item = list.mid(position + 1, comma - position - 1);
        if (!item.isEmpty()) {
            if (!NameServers) {
                NameServers.emplace();
            }
            if (!NameServers->contains(item)) {
                NameServers->append(item);
            }
        }
        position = comma;
        EventPump::letEventsRun();
    }
}

void IPInfo::ReadHostName() {
    HostName = FilterHostText(source_.shortHostName());
}

void IPInfo::ReadDomainName() {
    // Each value is filtered as it is read: one that filters to nothing (blanks, say) names no
    // domain, and the search domain is tried.
    DomainName = FilterHostText(source_.domain());
    if (DomainName.isEmpty())
        DomainName = FilterHostText(source_.searchDomain());
    domainFromSystem_ = !DomainName.isEmpty();
    if (!domainFromSystem_)
        DomainName = QString::fromLatin1(defaultDomain);
}

QString IPInfo::fullyQualifiedName() const {
    // "localhost" with a search domain names no host that others can find.
    if (HostName.isEmpty() || !domainFromSystem_ ||
        HostName.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return {};
    return HostName + u'.' + DomainName;
}

void IPInfo::ReadNameServers() {
    SplitNameList(source_.nameServers().join(u','));
}
