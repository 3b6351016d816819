#include "platform/HostSource.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <climits>
#include <unistd.h>

namespace {

const QString tcpipKey = QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters");

struct ResolverSettings {
    QString domain;
    QString firstSearch;
    QStringList nameServers;
};

// Only the keywords that name the domain and the servers matter; the resolver lets the last
// "domain" or "search" line win, and so do we.
ResolverSettings parseResolver(const QByteArray& text) {
    ResolverSettings settings;
    for (const QByteArray& rawLine : text.split('\n')) {
        const QString line = QString::fromLocal8Bit(rawLine).trimmed();
        if (line.isEmpty() || line.startsWith(u'#') || line.startsWith(u';')) {
            continue;
        }
        const QStringList words =
            line.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
        if (words.size() < 2) {
            continue;
        }
        if (words[0] == u"domain") {
            settings.domain = words[1];
        } else if (words[0] == u"search") {
            settings.firstSearch = words[1];
        } else if (words[0] == u"nameserver") {
            settings.nameServers.append(words[1]);
        }
    }
    return settings;
}

QVariant textOrEmpty(const QString& text) {
    return text.isEmpty() ? QVariant() : QVariant(text);
}

} // namespace

HostSource::HostSource()
    : hostName(&HostSource::systemHostName), resolverConfig([] { return readResolverFile(); }) {}

QVariant HostSource::ReadRegValue(quint32 root, const QString& subKey,
                                  const QString& valueName) const {
    // Registry keys and value names are matched without regard to case, and a trailing
    // backslash names the same key.
    QString key = subKey;
    while (key.endsWith(u'\\')) {
        key.chop(1);
    }
    if (root != hkeyLocalMachine || key.compare(tcpipKey, Qt::CaseInsensitive) != 0) {
        return {};
    }
    const auto is = [&valueName](const char* name) {
        return valueName.compare(QLatin1String(name), Qt::CaseInsensitive) == 0;
    };
    if (is("Hostname")) {
        return textOrEmpty(shortHostName());
    }
    if (is("Domain")) {
        return textOrEmpty(domain());
    }
    if (is("DhcpDomain")) {
        return textOrEmpty(searchDomain());
    }
    if (is("NameServer")) {
        return textOrEmpty(nameServers().join(u','));
    }
    return {};
}

QString HostSource::shortHostName() const {
    return hostName().section(u'.', 0, 0);
}

QString HostSource::domain() const {
    const ResolverSettings settings = parseResolver(resolverConfig());
    if (!settings.domain.isEmpty()) {
        return settings.domain;
    }
    return hostName().section(u'.', 1);
}

QString HostSource::searchDomain() const {
    return parseResolver(resolverConfig()).firstSearch;
}

QStringList HostSource::nameServers() const {
    return parseResolver(resolverConfig()).nameServers;
}

QString HostSource::systemHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return QString::fromLocal8Bit(name);
}

QByteArray HostSource::readResolverFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}
