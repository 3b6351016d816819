#include "DesktopLoader.h"

#include <QByteArray>
#include <QDir>
#include <QLibraryInfo>
#include <QList>
#include <QStringList>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

QByteArray variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? QByteArray(value) : QByteArray();
}

// An X display opens when the X client library can connect to it, as Qt's xcb platform does
// first. Without that library Qt cannot use X either.
bool x11Opens() {
    void* xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (xcb == nullptr)
        return false;
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    const auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
    const auto hasError = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
    const auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
    bool opens = false;
    if (connect != nullptr && hasError != nullptr && disconnect != nullptr) {
        void* connection = connect(nullptr, nullptr);
        opens = connection != nullptr && hasError(connection) == 0;
        disconnect(connection); // also takes a connection in its error state
    }
    ::dlclose(xcb);
    return opens;
}

// A Wayland display opens when its compositor's socket accepts a connection.
bool waylandOpens() {
    QByteArray name = variable("WAYLAND_DISPLAY");
    if (name.isEmpty())
        name = "wayland-0";
    if (!name.startsWith('/')) {
        const QByteArray runtime = variable("XDG_RUNTIME_DIR");
        if (runtime.isEmpty())
            return false;
        name = runtime + '/' + name;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (static_cast<size_t>(name.size()) >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, name.constData(), static_cast<size_t>(name.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool opens =
        fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0)
        ::close(fd);
    return opens;
}

// Qt ends the process when its platform's plugin is missing, as when its display does not open.
bool pluginInstalled(const QByteArray& name) {
    QStringList dirs{QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms")};
    if (const QString dir = qEnvironmentVariable("QT_QPA_PLATFORM_PLUGIN_PATH"); !dir.isEmpty())
        dirs << dir;
    for (const QString& dir :
         qEnvironmentVariable("QT_PLUGIN_PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts))
        dirs << dir + QStringLiteral("/platforms");
    const QString pattern =
        QStringLiteral("libq") + QString::fromLatin1(name) + QStringLiteral("*.so");
    for (const QString& dir : std::as_const(dirs))
        if (!QDir(dir).entryList({pattern}, QDir::Files).isEmpty())
            return true;
    return false;
}

// Why Qt could not run on that platform, or empty when it can.
QString platformProblem(const QByteArray& name) {
    if (!pluginInstalled(name))
        return QStringLiteral("no Qt platform plugin ") + QString::fromLatin1(name);
    if (name == "xcb" && !x11Opens())
        return QStringLiteral("DISPLAY=") + QString::fromLocal8Bit(variable("DISPLAY")) +
               QStringLiteral(" does not open");
    if (name.startsWith("wayland") && !waylandOpens())
        return QStringLiteral("WAYLAND_DISPLAY=") +
               QString::fromLocal8Bit(variable("WAYLAND_DISPLAY")) +
               QStringLiteral(" does not open");
    return {}; // offscreen, vnc and the like have nothing to open here
}

// Empty when Qt can run on one of the platforms it would try, else the text that names what was
// tried. platform is set when Qt left to itself might pick one that does not work.
QString displayProblem(std::string& platform) {
    const QByteArray forced = variable("QT_QPA_PLATFORM");
    QList<QByteArray> candidates;
    // Qt tries the platforms of the list in turn ("xcb;wayland"; options after a colon).
    for (const QByteArray& entry : forced.split(';'))
        if (const QByteArray name = entry.split(':').first().trimmed(); !name.isEmpty())
            candidates << name;
    if (forced.isEmpty()) {
        if (!variable("WAYLAND_DISPLAY").isEmpty())
            candidates << "wayland";
        if (!variable("DISPLAY").isEmpty())
            candidates << "xcb";
    }
    QStringList reasons;
    QList<QByteArray> usable;
    for (const QByteArray& name : std::as_const(candidates)) {
        if (const QString reason = platformProblem(name); reason.isEmpty())
            usable << name;
        else
            reasons << reason;
    }
    if (usable.isEmpty())
        return QStringLiteral("no display can be used (") + reasons.join(QStringLiteral("; ")) +
               QStringLiteral("); running headless");
    if (forced.isEmpty() && usable.size() != candidates.size())
        platform = usable.first().toStdString();
    return {};
}

std::string programDirectory() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    std::string exe(path, static_cast<size_t>(n));
    return exe.substr(0, exe.rfind('/'));
}

template <typename Header, typename Segment> QString elfExtentProblem(int fd, off_t size) {
    Header header{};
    if (::pread(fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header))
        return QStringLiteral("too short for an ELF header");
    const auto within = [size](quint64 offset, quint64 length) {
        return offset <= static_cast<quint64>(size) &&
               length <= static_cast<quint64>(size) - offset;
    };
    if (header.e_phentsize != sizeof(Segment) ||
        !within(header.e_phoff, quint64{header.e_phnum} * sizeof(Segment)))
        return QStringLiteral("program headers cut short");
    if (!within(header.e_shoff, quint64{header.e_shnum} * header.e_shentsize))
        return QStringLiteral("section headers cut short");
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        Segment segment{};
        const off_t at = static_cast<off_t>(header.e_phoff + i * sizeof(Segment));
        if (::pread(fd, &segment, sizeof segment, at) != static_cast<ssize_t>(sizeof segment))
            return QStringLiteral("program headers unreadable");
        if (segment.p_type == PT_LOAD && !within(segment.p_offset, segment.p_filesz))
            return QStringLiteral("a segment lies past the end of the file");
    }
    return {};
}

} // namespace

QString elfProblem(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    QString problem;
    struct stat info {};
    unsigned char ident[EI_NIDENT] = {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        problem = QStringLiteral("not a regular file");
    else if (::pread(fd, ident, sizeof ident, 0) != EI_NIDENT ||
             std::memcmp(ident, ELFMAG, SELFMAG) != 0)
        problem = QStringLiteral("not an ELF file");
    else if (ident[EI_CLASS] == ELFCLASS64)
        problem = elfExtentProblem<Elf64_Ehdr, Elf64_Phdr>(fd, info.st_size);
    else
        problem = elfExtentProblem<Elf32_Ehdr, Elf32_Phdr>(fd, info.st_size);
    ::close(fd);
    return problem;
}

// The module lies beside the executable (the build tree), else in the library directory of the
// installation the executable belongs to, found relative to it so that a staged or relocated tree
// works as well.
Desktop findDesktop() {
    Desktop desktop;
    desktop.problem = displayProblem(desktop.platform);
    if (!desktop.problem.isEmpty())
        return desktop;
    const std::string name = "/libprowlix-desktop.so";
    const std::string candidates[] = {programDirectory() + name,
                                      programDirectory() + "/" PROWLIX_MODULE_DIR + name};
    for (const std::string& module : candidates) {
        if (::access(module.c_str(), F_OK) != 0)
            continue;
        const QString where = QString::fromLocal8Bit(module.c_str());
        if (const QString damage = elfProblem(module); !damage.isEmpty()) {
            desktop.problem = QStringLiteral("desktop module damaged (") + where +
                              QStringLiteral(": ") + damage + QStringLiteral("); running headless");
            return desktop;
        }
        void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            desktop.problem = QStringLiteral("desktop module not available (") +
                              QString::fromLocal8Bit(::dlerror()) +
                              QStringLiteral("); running headless");
            return desktop;
        }
        desktop.entry = reinterpret_cast<DesktopMain>(::dlsym(handle, "prowlixDesktopMain"));
        if (desktop.entry == nullptr)
            desktop.problem = QStringLiteral("desktop module not usable (") + where +
                              QStringLiteral(": no entry point); running headless");
        return desktop;
    }
    desktop.problem = QStringLiteral("desktop module not installed (") +
                      QString::fromLocal8Bit(candidates[1].c_str()) +
                      QStringLiteral("); running headless");
    return desktop;
}
