// Entry point: headless unless a display is available and /NOGUI is absent. The desktop user
// interface is a module loaded only in desktop mode, so a headless monitor never carries the
// weight of the widget libraries.
#include "CommandLine.h"
#include "Runner.h"
#include "SignalWatcher.h"
#include "SystemText.h"
#include "Usage.h"
#include "View.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

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

std::string programDirectory() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    std::string exe(path, static_cast<size_t>(n));
    return exe.substr(0, exe.rfind('/'));
}

using DesktopMain = int (*)(int, char**);

// Beside the executable (the build tree), else in the library directory of the installation the
// executable belongs to, found relative to it so that a staged or relocated tree works as well.
DesktopMain loadDesktop() {
    const std::string name = "/libprowlix-desktop.so";
    const std::string candidates[] = {programDirectory() + name,
                                      programDirectory() + "/" PROWLIX_MODULE_DIR + name};
    for (const std::string& module : candidates) {
        if (::access(module.c_str(), F_OK) != 0)
            continue;
        void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            std::fprintf(stderr, "Prowlix: desktop module not available (%s); running headless\n",
                         ::dlerror());
            return nullptr;
        }
        return reinterpret_cast<DesktopMain>(::dlsym(handle, "prowlixDesktopMain"));
    }
    std::fprintf(stderr, "Prowlix: desktop module not installed (%s); running headless\n",
                 candidates[1].c_str());
    return nullptr;
}

} // namespace

int main(int argc, char** argv) {
    ignoreStraySignals(); // before anything can write to a standard error that may be gone
    const QStringList arguments = systemArguments(argc, argv);
    if (const auto text = informationRequested(arguments)) {
        std::fputs(text->toLocal8Bit().constData(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (!wantsHeadless(arguments)) {
        if (const DesktopMain desktopMain = loadDesktop())
            return desktopMain(argc, argv);
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
    return runMonitor(view, systemArguments(argc, argv));
}
