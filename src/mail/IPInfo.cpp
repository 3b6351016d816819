#include "IPInfo.h"

#include "EventPump.h"

#include <utility>

namespace {

const QString tcpipKey = QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters");
const QString mstcpKey = QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\VxD\\MSTCP");

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

QString IPInfo::ReadRegValue(quint32 root, const QString& subKey, const QString& valueName) const {
    QString value = source_.ReadRegValue(root, subKey, valueName).toString();
    if (value.endsWith(QChar(u'\0'))) {
        value.chop(1);
    }
    return value;
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
    const quint32 root = HostSource::hkeyLocalMachine;
    HostName = FilterHostText(ReadRegValue(root, tcpipKey, QStringLiteral("Hostname")));
    if (HostName.isEmpty()) {
        HostName = FilterHostText(ReadRegValue(root, mstcpKey, QStringLiteral("HostName")));
    }
}

void IPInfo::ReadDomainName() {
    const quint32 root = HostSource::hkeyLocalMachine;
    // Each value is filtered as it is read: one that filters to nothing (blanks, say) names no
    // domain, and the next source is tried.
    const std::pair<const QString&, const char*> sources[] = {{tcpipKey, "Domain"},
                                                              {tcpipKey, "DhcpDomain"},
                                                              {mstcpKey, "Domain"},
                                                              {mstcpKey, "DhcpDomain"}};
    DomainName.clear();
    for (const auto& [key, name] : sources) {
        DomainName = FilterHostText(ReadRegValue(root, key, QLatin1String(name)));
        if (!DomainName.isEmpty())
            break;
    }
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
    const quint32 root = HostSource::hkeyLocalMachine;
    QString servers = ReadRegValue(root, tcpipKey + u'\\', QStringLiteral("NameServer"));
    if (servers.isEmpty()) {
        servers = ReadRegValue(root, mstcpKey + u'\\', QStringLiteral("NameServer"));
    }
    SplitNameList(servers);
}
