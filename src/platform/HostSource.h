#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <functional>

// Answers the registry reads of host identity from the system's own network configuration:
// the host name from gethostname(), domain, search list and name servers from the resolver
// configuration. Both inputs are injectable so that tests never depend on the machine.
class HostSource final {
  public:
    static constexpr quint32 hkeyLocalMachine = 0x80000002;

    HostSource();

    std::function<QString()> hostName;          // the system's host name, possibly dotted
    std::function<QByteArray()> resolverConfig; // the text of /etc/resolv.conf

    // A text value, or an invalid QVariant for a location, value or root the system does not
    // supply (the legacy locations always read empty).
    QVariant ReadRegValue(quint32 root, const QString& subKey, const QString& valueName) const;

    static QString systemHostName();
    static QByteArray readResolverFile(const QString& path = QStringLiteral("/etc/resolv.conf"));
};
