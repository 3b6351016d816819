#include "IPInfo.h"

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

TEST(IPInfoTest, HostNameAndDomainFallBackFromDomainLineToHostNameToSearchToDefault) {
    const struct {
        const char* hostName;
        QByteArray resolver;
        const char* host;
        const char* domain;
    } rows[] = {
        // Filtered, and the domain from the rest of the dotted host name.
        {"web-01.corp-net.example", "", "web01", "corpnet.example"},
        {"box.host.example", "# x\nsearch dhcp.example\ndomain office.example\n", "box",
         "office.example"},
        {"box.host.example", "search dhcp.example\n", "box", "host.example"},
        {"box", "search dhcp.example other.example\n", "box", "dhcp.example"},
        {"box", "nameserver 10.0.0.1\n", "box", IPInfo::defaultDomain},
        // A domain of blanks stops the fall-backs: it is filtered only after them.
        {"box.   ", "search dhcp.example\n", "box", ""},
    };
    for (const auto& row : rows) {
        IPInfo info(sourceOf(QString::fromLatin1(row.hostName), row.resolver));
        info.LoadHostInfo();
        EXPECT_EQ(info.HostName, QLatin1String(row.host)) << row.hostName;
        EXPECT_EQ(info.DomainName, QLatin1String(row.domain)) << row.hostName;
    }
    IPInfo empty(sourceOf(QString(), {}));
    empty.LoadHostInfo();
    EXPECT_TRUE(empty.HostName.isEmpty());
    EXPECT_FALSE(empty.NameServers.has_value());
    EXPECT_EQ(IPInfo::FilterHostText(QStringLiteral(" a_b c-d.e\t")), QStringLiteral("abcd.e"));
    EXPECT_EQ(IPInfo::FilterHostText(QStringLiteral("x") + QChar(u'\0')), QStringLiteral("x"));
}

TEST(IPInfoTest, RegistryLocationsAnswerFromTheSystemSources) {
    const HostSource source = sourceOf(QStringLiteral("alpha.beta.example"),
                                       "; comment\ndomain d.example\nsearch s1.example s2.example\n"
                                       "nameserver 10.0.0.1\nnameserver   10.0.0.2  \n");
    const QString tcpip = QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters");
    const QString mstcp = QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\VxD\\MSTCP");
    const auto reg = [&](const QString& key, const char* name,
                         quint32 root = HostSource::hkeyLocalMachine) {
        return source.ReadRegValue(root, key, QLatin1String(name));
    };
    EXPECT_EQ(reg(tcpip, "Hostname").toString(), "alpha");
    EXPECT_EQ(reg(tcpip, "Domain").toString(), "d.example");
    EXPECT_EQ(reg(tcpip, "DhcpDomain").toString(), "s1.example");
    EXPECT_EQ(reg(tcpip + u'\\', "NameServer").toString(), "10.0.0.1,10.0.0.2");
    EXPECT_FALSE(reg(mstcp, "HostName").isValid());
    EXPECT_FALSE(reg(mstcp, "Domain").isValid());
    EXPECT_FALSE(reg(tcpip, "Hostname", 0x80000001).isValid());
}

TEST(IPInfoTest, NameListSplitsAtCommasOnlyAndKeepsEachServerOnce) {
    const auto split = [](const QString& text) {
        IPInfo info(sourceOf(QString(), {}));
        info.SplitNameList(text);
        return info.NameServers;
    };
    using L = QStringList;
    EXPECT_EQ(split(QStringLiteral("10.0.0.1,10.0.0.2")), (L{"10.0.0.1", "10.0.0.2"}));
    EXPECT_EQ(split(QStringLiteral("10.0.0.1 10.0.0.2")), (L{"10.0.0.1 10.0.0.2"}));
    EXPECT_EQ(split(QStringLiteral("10.0.0.1, 10.0.0.2")), (L{"10.0.0.1", " 10.0.0.2"}));
    EXPECT_EQ(split(QStringLiteral(",,10.0.0.1")), (L{"10.0.0.1"}));
    EXPECT_EQ(split(QStringLiteral("10.0.0.1,10.0.0.1,1.1.1.1")), (L{"10.0.0.1", "1.1.1.1"}));
    EXPECT_FALSE(split(QStringLiteral("1.2.3.")).has_value());
    EXPECT_TRUE(split(QStringLiteral("1.2.3.4")).has_value());
}

TEST(IPInfoTest, LoadsOnceAndANestedCallReturnsAtOnce) {
    int reads = 0;
    HostSource source = sourceOf({}, "nameserver 10.0.0.1\nnameserver 10.0.0.2\n");
    source.hostName = [&reads] {
        ++reads;
        return QStringLiteral("box");
    };
    IPInfo info(source);
    // Runs inside the split's event pass: the load in progress must not start again.
    bool nestedSawDomain = false;
    QTimer::singleShot(0, [&] {
        info.LoadHostInfo();
        nestedSawDomain = info.DomainName == QString::fromLatin1(IPInfo::defaultDomain);
    });
    info.LoadHostInfo();
    const int readsAfterFirst = reads;
    info.LoadHostInfo();
    EXPECT_TRUE(info.HostInfoLoaded);
    EXPECT_TRUE(nestedSawDomain);
    EXPECT_EQ(reads, readsAfterFirst);
    EXPECT_EQ(info.NameServers->size(), 2);
}
