#include "mail/IPInfo.h"

#include <QTimer>
#include <gtest/gtest.h>

namespace {

HostSource sourceOf(const QString& hostName, const QByteArray& resolver) {
    HostSource source;
    source.hostName = [hostName] { return hostName; };
    source.resolverConfig = [resolver] { return resolver; };
    return source;
}

} // namespace

TEST(IPInfoTest, HostDomainAndNameServersFromTheSystemSources) {
    const struct {
        const char* hostName;
        QByteArray resolver;
        const char *host, *domain, *servers, *fullName;
    } rows[] = {
        // Filtered to what a DNS name holds, and the domain from the rest of the dotted name.
        {"web-01.corp-net.example", "", "web-01", "corp-net.example", "",
         "web-01.corp-net.example"},
        {"box.host.example", "#\nsearch dhcp.example\ndomain office.example\n", "box",
         "office.example", "", "box.office.example"},
        {"box.host.example", "search dhcp.example\n", "box", "host.example", "",
         "box.host.example"},
        {"box", "search dhcp.example other.example\n", "box", "dhcp.example", "",
         "box.dhcp.example"},
        // The default domain is no host's: no full name.
        {"box", "nameserver 10.0.0.1\nnameserver   10.0.0.2  \nnameserver 10.0.0.1\n", "box",
         IPInfo::defaultDomain, "10.0.0.1,10.0.0.2", ""},
        // A domain that filters to nothing is no domain: the next source counts.
        {"box.   ", "search dhcp.example\n", "box", "dhcp.example", "", "box.dhcp.example"},
        {"localhost", "search dhcp.example\n", "localhost", "dhcp.example", "", ""},
        {"", "", "", IPInfo::defaultDomain, "", ""},
    };
    for (const auto& row : rows) {
        IPInfo info(sourceOf(row.hostName, row.resolver));
        info.LoadHostInfo();
        EXPECT_EQ(info.HostName, row.host) << row.hostName;
        EXPECT_EQ(info.DomainName, row.domain) << row.hostName;
        EXPECT_EQ(info.NameServers.value_or(QStringList{}).join(u','), row.servers) << row.hostName;
        EXPECT_EQ(info.fullyQualifiedName(), row.fullName) << row.hostName;
    }
    EXPECT_EQ(IPInfo::FilterHostText(" a_b c-d.e\t" + QString(QChar(u'\0'))), "abc-d.e");
}

TEST(IPInfoTest, LoadsOnceAndANestedCallReturnsAtOnce) {
    int reads = 0;
    HostSource source = sourceOf({}, "nameserver 10.0.0.1\nnameserver 10.0.0.2\n");
    source.hostName = [&reads] {
        ++reads;
        return QStringLiteral("box");
    };
    IPInfo(source).LoadHostInfo();
    const int readsOfOneLoad = std::exchange(reads, 0);
    IPInfo info(source);
    // Runs inside the split's event pass: the load in progress must not start again.
    bool nested = false;
    QTimer::singleShot(0, [&] {
        info.LoadHostInfo();
        nested = true;
    });
    info.LoadHostInfo();
    EXPECT_TRUE(nested);
    info.LoadHostInfo();
    EXPECT_EQ(reads, readsOfOneLoad);
    EXPECT_EQ(info.NameServers->size(), 2);
}
