// The tray on a StatusNotifierItem host, on a private D-Bus session: the host's Activate (what a
// click sends there) brings back a minimised or hidden main window.
#include "DesktopFixture.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QProcess>
#include <QStringList>

namespace {

// The part of a host that an item talks to: the watcher that says a host is there and takes
// the items' registrations.
class Watcher final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)

  public:
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList items() const { return items_; }

  public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& service) { items_ << service; }
    void RegisterStatusNotifierHost(const QString&) {}

  private:
    QStringList items_;
};

// The items registered with the host, asked of it over the bus.
QStringList registeredItems() {
    QDBusMessage get =
        QDBusMessage::createMethodCall("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                                       "org.freedesktop.DBus.Properties", "Get");
    get << QStringLiteral("org.kde.StatusNotifierWatcher")
        << QStringLiteral("RegisteredStatusNotifierItems");
    const QDBusMessage reply = QDBusConnection::sessionBus().call(get);
    if (reply.arguments().isEmpty())
        return {};
    return qvariant_cast<QDBusVariant>(reply.arguments().first()).variant().toStringList();
}

} // namespace

class StatusNotifierTest : public DesktopFixture {};

TEST_F(StatusNotifierTest, ActivationBringsTheWindowBack) {
    start(QString());
    ASSERT_TRUE(testsupport::waitUntil([] { return !registeredItems().isEmpty(); }))
        << "the tray registered no item with the host";
    // As a host sends it: a method call from another connection, through the bus.
    QDBusConnection host = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "host");
    const auto activate = [&] {
        QDBusMessage call =
            QDBusMessage::createMethodCall(registeredItems().first(), "/StatusNotifierItem",
                                           "org.kde.StatusNotifierItem", "Activate");
        call << 0 << 0;
        host.asyncCall(call);
    };
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&main()));
    ASSERT_TRUE(minimiseMain());
    activate();
    EXPECT_TRUE(
        testsupport::waitUntil([&] { return main().isVisible() && !main().isMinimized(); }));
    tray().mnuShow->trigger();
    ASSERT_FALSE(main().isVisible());
    activate();
    EXPECT_TRUE(testsupport::waitUntil([&] { return main().isVisible(); }));
}

int main(int argc, char** argv) {
    // Run as the host: a process of its own, as a panel is.
    if (argc > 1 && qstrcmp(argv[1], "--host") == 0) {
        QCoreApplication host(argc, argv);
        Watcher watcher;
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.registerObject("/StatusNotifierWatcher", &watcher,
                                QDBusConnection::ExportAllSlots |
                                    QDBusConnection::ExportAllProperties) ||
            !bus.registerService("org.kde.StatusNotifierWatcher"))
            return 1;
        return host.exec();
    }
    const testsupport::ChildGuard childGuard;
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    if (!QDBusConnection::sessionBus().isConnected())
        return 77;
    // The host must be there before the first tray icon asks for it.
    QProcess host;
    host.start(QCoreApplication::applicationFilePath(), {"--host"});
    if (!testsupport::waitUntil([] {
            return QDBusConnection::sessionBus().interface()->isServiceRegistered(
                "org.kde.StatusNotifierWatcher");
        }))
        return 1;
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    host.kill();
    host.waitForFinished();
    return status;
}

#include "StatusNotifierTest.moc"
