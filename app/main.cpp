// Entry point: headless unless a display is available and /NOGUI is absent. The desktop user
// interface is a module loaded only in desktop mode, so a headless monitor never carries the
// weight of the widget libraries.
#include "DesktopLoader.h"
#include "base/SystemText.h"
#include "core/CommandLine.h"
#include "core/Runner.h"
#include "core/Usage.h"
#include "core/View.h"
#include "platform/SignalWatcher.h"
#include "platform/StandardError.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool wantsHeadless(const QStringList& arguments) {
    // /NOGUI follows the rules of every other option: any letter case, with or without a value.
    if (clsCommandLine().CommandFlag(QStringLiteral("NOGUI"),
                                     clsCommandLine::argumentText(arguments)))
        return true;
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    return !(set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM"));
}

} // namespace

int main(int argc, char** argv) {
    ignoreStraySignals(); // before anything can write to a standard error that may be gone
    const QStringList arguments = systemArguments(argc, argv);
    if (const auto text = informationRequested(arguments)) {
        std::fputs(text->toLocal8Bit().constData(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    // From here on nothing written to standard error may wait for its reader, Qt's own warnings
    // included. The usage text above is no monitor yet and waits like any command's output.
    installStandardErrorMessageHandler();
    QStringList notices;
    if (!wantsHeadless(arguments)) {
        const Desktop desktop = findDesktop();
        if (desktop.entry != nullptr) {
            // The platform goes as Qt's own option, which is never passed on to the tasks.
            std::vector<char*> desktopArguments(argv, argv + argc);
            std::string option = "-platform", platform = desktop.platform;
            if (!platform.empty())
                desktopArguments.insert(desktopArguments.begin() + 1,
                                        {option.data(), platform.data()});
            desktopArguments.push_back(nullptr);
            return desktop.entry(static_cast<int>(desktopArguments.size() - 1),
                                 desktopArguments.data());
        }
        writeStandardError(desktop.problem);
        notices << desktop.problem;
    }
    // Headless, nothing needs the GLib main loop; Qt's own is leaner on every 100 ms tick. The
    // variable is dropped again at once so that the tasks do not inherit it.
    const bool hadNoGlib = qEnvironmentVariableIsSet("QT_NO_GLIB");
    if (!hadNoGlib)
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    if (!hadNoGlib)
        qunsetenv("QT_NO_GLIB");
    HeadlessView view;
    return runMonitor(view, systemArguments(argc, argv), {}, notices);
}
