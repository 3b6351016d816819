#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>

// The host's identity from the system's own network configuration: the host name from
// gethostname(), domain, search list and name servers from the resolver configuration. Both
// inputs are injectable so that tests never depend on the machine.
class HostSource final {
  public:
    static constexpr quint32 hkeyLocalMachine = 0x80000002;

    HostSource();

    std::function<QString()> hostName;          // the system's host name, possibly dotted
    std::function<QByteArray()> resolverConfig; // the text of /etc/resolv.conf

    // Each empty when the system names none.
    QString shortHostName() const; // the host name's first label
    // The resolver's "domain" line, or else the rest of a dotted host name.
    QString domain() const;
    QString searchDomain() const; // the first "search" entry: the domain DHCP handed out
    QStringList nameServers() const;

    // The same answers as registry reads of the eight host identity locations, for a system
    // that keeps them there; nothing on this one asks. A text value, or an invalid QVariant for
    // a location, value or root the system does not supply (the legacy locations read empty).
    QVariant ReadRegValue(quint32 root, const QString& subKey, const QString& valueName) const;

    static QString systemHostName();
    static QByteArray readResolverFile(const QString& path = QStringLiteral("/etc/resolv.conf"));
};
