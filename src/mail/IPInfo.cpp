#include "IPInfo.h"

#include "EventPump.h"

namespace {

const QString tcpipKey = QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters");
const QString mstcpKey = QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\VxD\\MSTCP");

// "0" appears twice in the set as it always has; it changes nothing.
const QString hostCharacters =
    QStringLiteral("01234567890.ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");

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
    DomainName = ReadRegValue(root, tcpipKey, QStringLiteral("Domain"));
    if (DomainName.isEmpty()) {
        DomainName = ReadRegValue(root, tcpipKey, QStringLiteral("DhcpDomain"));
    }
    if (DomainName.isEmpty()) {
        DomainName = ReadRegValue(root, mstcpKey, QStringLiteral("Domain"));
    }
    if (DomainName.isEmpty()) {
        DomainName = ReadRegValue(root, mstcpKey, QStringLiteral("DhcpDomain"));
    }
    if (DomainName.isEmpty()) {
        DomainName = QString::fromLatin1(defaultDomain);
    }
    // Filtered only now, so a value of blanks counts as present and leaves the domain empty.
    DomainName = FilterHostText(DomainName);
}

void IPInfo::ReadNameServers() {
    const quint32 root = HostSource::hkeyLocalMachine;
    QString servers = ReadRegValue(root, tcpipKey + u'\\', QStringLiteral("NameServer"));
    if (servers.isEmpty()) {
        servers = ReadRegValue(root, mstcpKey + u'\\', QStringLiteral("NameServer"));
    }
    SplitNameList(servers);
}
