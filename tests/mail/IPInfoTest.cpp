#include "IPInfo.h"

#include <QTimer>
#include <gtest/gtest.h>

namespace {

IPInfo hostWith(const QString& hostName, const QByteArray& resolver) {
    HostSource source;
    source.hostName = [hostName] { return hostName; };
    source.resolverConfig = [resolver] { return resolver; };
    return IPInfo(source);
}

} // namespace

TEST(IPInfoTest, HostNameIsTheFilteredFirstLabel) {
    IPInfo info = hostWith(QStringLiteral("web-01.corp-net.example"), {});
    info.LoadHostInfo();
    EXPECT_EQ(info.HostName, QStringLiteral("web01"));
    // No resolver domain: the rest of the dotted host name, filtered.
    EXPECT_EQ(info.DomainName, QStringLiteral("corpnet.example"));
}

TEST(IPInfoTest, DomainFallsBackFromDomainLineToSearchToDefault) {
    const QByteArray both = "# generated\nsearch dhcp.example other.example\n"
                            "domain office.example\nnameserver 10.0.0.1\n";
    IPInfo info = hostWith(QStringLiteral("box.host.example"), both);
    info.LoadHostInfo();
    EXPECT_EQ(info.DomainName, QStringLiteral("office.example"));

    IPInfo dotted = hostWith(QStringLiteral("box.host.example"), "search dhcp.example\n");
    dotted.LoadHostInfo();
    EXPECT_EQ(dotted.DomainName, QStringLiteral("host.example"));

    IPInfo search = hostWith(QStringLiteral("box"), "search dhcp.example other.example\n");
    search.LoadHostInfo();
    EXPECT_EQ(search.DomainName, QStringLiteral("dhcp.example"));

    IPInfo none = hostWith(QStringLiteral("box"), "nameserver 10.0.0.1\n");
    none.LoadHostInfo();
    EXPECT_EQ(none.DomainName, QString::fromLatin1(IPInfo::defaultDomain));
    EXPECT_EQ(none.HostName, QStringLiteral("box"));
}

TEST(IPInfoTest, BlankDomainCountsAsPresentAndFiltersToEmpty) {
    // A domain of blanks stops the fall-backs: it is filtered only after them.
    IPInfo blank = hostWith(QStringLiteral("box.   "), "search dhcp.example\n");
    blank.LoadHostInfo();
    EXPECT_EQ(blank.HostName, QStringLiteral("box"));
    EXPECT_TRUE(blank.DomainName.isEmpty());

    EXPECT_EQ(IPInfo::FilterHostText(QStringLiteral(" a_b c-d.e\t")), QStringLiteral("abcd.e"));
    EXPECT_EQ(IPInfo::FilterHostText(QStringLiteral("x") + QChar(u'\0')), QStringLiteral("x"));

    IPInfo empty = hostWith(QString(), {});
    empty.LoadHostInfo();
    EXPECT_TRUE(empty.HostName.isEmpty());
    EXPECT_FALSE(empty.NameServers.has_value());
}

TEST(IPInfoTest, RegistryLocationsAnswerFromTheSystemSources) {
    HostSource source;
    source.hostName = [] { return QStringLiteral("alpha.beta.example"); };
    source.resolverConfig = [] {
        return QByteArray("; comment\ndomain d.example\nsearch s1.example s2.example\n"
                          "nameserver 10.0.0.1\nnameserver   10.0.0.2  \n");
    };
    const quint32 hklm = HostSource::hkeyLocalMachine;
    const QString tcpip = QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters");
    const QString mstcp = QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\VxD\\MSTCP");
    EXPECT_EQ(source.ReadRegValue(hklm, tcpip, QStringLiteral("Hostname")).toString(),
              QStringLiteral("alpha"));
    EXPECT_EQ(source.ReadRegValue(hklm, tcpip, QStringLiteral("Domain")).toString(),
              QStringLiteral("d.example"));
    EXPECT_EQ(source.ReadRegValue(hklm, tcpip, QStringLiteral("DhcpDomain")).toString(),
              QStringLiteral("s1.example"));
    EXPECT_EQ(source.ReadRegValue(hklm, tcpip + u'\\', QStringLiteral("NameServer")).toString(),
              QStringLiteral("10.0.0.1,10.0.0.2"));
    EXPECT_FALSE(source.ReadRegValue(hklm, mstcp, QStringLiteral("HostName")).isValid());
    EXPECT_FALSE(source.ReadRegValue(hklm, mstcp, QStringLiteral("Domain")).isValid());
    EXPECT_FALSE(source.ReadRegValue(0x80000001, tcpip, QStringLiteral("Hostname")).isValid());
}

TEST(IPInfoTest, NameListSplitsAtCommasOnly) {
    const auto split = [](const QString& text) {
        IPInfo info = hostWith(QString(), {});
        info.SplitNameList(text);
        return info.NameServers;
    };
    EXPECT_EQ(split(QStringLiteral("10.0.0.1,10.0.0.2")),
              (QStringList{QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.2")}));
    EXPECT_EQ(split(QStringLiteral("10.0.0.1 10.0.0.2")),
              (QStringList{QStringLiteral("10.0.0.1 10.0.0.2")}));
    EXPECT_EQ(split(QStringLiteral("10.0.0.1, 10.0.0.2")),
              (QStringList{QStringLiteral("10.0.0.1"), QStringLiteral(" 10.0.0.2")}));
    EXPECT_EQ(split(QStringLiteral(",,10.0.0.1")), (QStringList{QStringLiteral("10.0.0.1")}));
    EXPECT_EQ(split(QStringLiteral("10.0.0.1,10.0.0.1,1.1.1.1")),
              (QStringList{QStringLiteral("10.0.0.1"), QStringLiteral("1.1.1.1")}));
    EXPECT_FALSE(split(QStringLiteral("1.2.3.")).has_value());
    EXPECT_TRUE(split(QStringLiteral("1.2.3.4")).has_value());
}

TEST(IPInfoTest, LoadsOnceAndANestedCallReturnsAtOnce) {
    int reads = 0;
    HostSource source;
    source.hostName = [&reads] {
        ++reads;
        return QStringLiteral("box");
    };
    source.resolverConfig = [] { return QByteArray("nameserver 10.0.0.1\nnameserver 10.0.0.2\n"); };
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
