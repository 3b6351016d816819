#include "platform/PosixLaunch.h"

#include "base/RuntimeError.h"
#include "base/SystemText.h"
#include "base/TaskCommand.h"

#include <QFile>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <optional>
#include <pwd.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

[[noreturn]] void refuse(const char* option, const QString& value, const QString& reason) {
    throw RuntimeError(QLatin1String(option) + QLatin1Char('=') + value + QStringLiteral(": ") +
                       reason);
}

// Byte strings and the pointer array that execve wants, kept together.
struct CStrings {
    std::vector<QByteArray> bytes;
    std::vector<char*> pointers;
    char* const* get() {
        pointers.clear();
        for (QByteArray& b : bytes)
            pointers.push_back(b.data());
        pointers.push_back(nullptr);
        return pointers.data();
    }
};

// KEY=value lines; blank lines and lines that begin with # are skipped; a value is taken as
// written (no quotes are removed, no variables expanded).
std::vector<QByteArray> readEnvironmentFile(const QString& path) {
    const int fd = ::open(toSystemBytes(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        refuse("env", path, systemErrorText(errno));
    struct stat info {};
    QFile file;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        refuse("env", path, QStringLiteral("not a regular file"));
    }
    const QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError)
        refuse("env", path, file.errorString());
    std::vector<QByteArray> lines;
    int number = 0;
    for (QByteArray line : content.split('\n')) {
        ++number;
        if (line.endsWith('\r'))
            line.chop(1);
        const QByteArray trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith('#'))
            continue;
        const qsizetype equals = line.indexOf('=');
        bool keyOk = equals > 0;
        for (qsizetype i = 0; keyOk && i < equals; ++i) {
            const char c = line[i];
            keyOk = c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                    (i > 0 && c >= '0' && c <= '9');
        }
        if (!keyOk || line.contains('\0'))
            refuse("env", path, QStringLiteral("line %1 is not KEY=value").arg(number));
        lines.push_back(line);
    }
    return lines;
}

// Sets KEY=value in the environment, replacing an earlier value of the key.
void setVariable(std::vector<QByteArray>& environment, const QByteArray& assignment) {
    const QByteArray key = assignment.left(assignment.indexOf('=') + 1);
    for (QByteArray& existing : environment) {
        if (existing.startsWith(key)) {
            existing = assignment;
            return;
        }
    }
    environment.push_back(assignment);
}

// What the child does between fork and exec; it shares the monitor's memory until the exec, so
// it only makes system calls, and writes nothing but `error` and `stage`.
struct ChildPlan {
    char* const* argv = nullptr;
    char* const* envp = nullptr;
    std::vector<QByteArray> programs; // where to look for the program, in PATH order
    const char* dir = nullptr;
    int outputFd = -1;
    int umask = -1;
    const Identity* identity = nullptr;
    // The child shares the monitor's descriptor table (CLONE_FILES) and first takes a copy of
    // only the descriptors below this, so the one descriptor per task that the monitor holds is
    // neither copied nor closed again at exec. -1: a full copy.
    int keepBelow = -1;
    volatile int error = 0;
    volatile int stage = 0; // 1 groups, 2 group, 3 user, 4 directory, 5 output, 6 program
};

[[noreturn]] void childFails(ChildPlan& plan, int stage) {
    plan.error = errno != 0 ? errno : ENOEXEC;
    plan.stage = stage;
    ::_exit(127);
}

int launchSlot = -1; // see reserveLaunchDescriptor
rlimit givenDescriptorLimit{};
bool descriptorLimitRaised = false;

int childMain(void* argument) {
    ChildPlan& plan = *static_cast<ChildPlan*>(argument);
    // Until this copy the table is the monitor's own: nothing may change a descriptor before.
    if (plan.keepBelow >= 0 &&
        ::close_range(static_cast<unsigned>(plan.keepBelow), ~0U, CLOSE_RANGE_UNSHARE) != 0 &&
        ::unshare(CLONE_FILES) != 0)
        childFails(plan, 5);
    // Dispositions are the child's own copy here: back to the defaults before anything unblocks.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int s = 1; s < NSIG; ++s) {
        if (s != SIGKILL && s != SIGSTOP)
            ::sigaction(s, &defaults, nullptr);
    }
    ::setsid();
    if (plan.identity != nullptr) {
        // Raw system calls: the C library's wrappers would try to change every thread of the
        // monitor, whose memory the child shares until it runs the program.
        const Identity& id = *plan.identity;
        if (::syscall(SYS_setgroups, id.groups.size(), id.groups.data()) != 0)
            childFails(plan, 1);
        if (::syscall(SYS_setgid, id.gid) != 0)
            childFails(plan, 2);
        if (::syscall(SYS_setuid, id.uid) != 0)
            childFails(plan, 3);
    }
    if (plan.umask >= 0)
        ::umask(static_cast<mode_t>(plan.umask));
    if (plan.dir != nullptr && ::chdir(plan.dir) != 0)
        childFails(plan, 4);
    // A task reads nothing from the monitor's terminal: its input is /dev/null, even when the
    // monitor has no descriptor to spare.
    int input = ::open("/dev/null", O_RDONLY);
    if (input < 0) {
        ::close(STDIN_FILENO);
        input = ::open("/dev/null", O_RDONLY);
    }
    if (input > 0) {
        ::dup2(input, STDIN_FILENO);
        ::close(input);
    }
    if (plan.outputFd >= 0) {
        for (const int target : {STDOUT_FILENO, STDERR_FILENO}) {
            if (plan.outputFd == target)
                ::fcntl(target, F_SETFD, 0);
            else if (::dup2(plan.outputFd, target) < 0)
                childFails(plan, 5);
        }
    }
    // Only the standard descriptors reach the task, whatever the monitor left inheritable.
    ::close_range(STDERR_FILENO + 1, ~0U, 0);
    // Only now: with the monitor's descriptors still open, a lower limit could refuse the ones
    // opened above.
    restoreDescriptorLimit();
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // As execvp would: a directory of PATH where the program is missing or may not be run does
    // not end the search, any other error does; a denial found on the way is what is reported.
    int reported = ENOENT;
    for (const QByteArray& program : plan.programs) {
        ::execve(program.constData(), plan.argv, plan.envp);
        if (errno == EACCES)
            reported = EACCES;
        else if (errno != ENOENT && errno != ENOTDIR)
            childFails(plan, 6);
    }
    errno = reported;
    childFails(plan, 6);
}

// The task's own PATH decides where its program is looked for, as execvp would.
std::vector<QByteArray> programCandidates(const QByteArray& program, char* const* envp) {
    if (program.contains('/'))
        return {program};
    QByteArray path = "/usr/local/bin:/usr/bin:/bin";
    for (char* const* variable = envp; *variable != nullptr; ++variable) {
        if (std::strncmp(*variable, "PATH=", 5) == 0)
            path = *variable + 5;
    }
    std::vector<QByteArray> candidates;
    for (const QByteArray& directory : path.split(':'))
        candidates.push_back((directory.isEmpty() ? QByteArray(".") : directory) + '/' + program);
    return candidates;
}

// The monitor's spawn: one clone that shares memory until the exec, as posix_spawn does, and
// shares the descriptor table until the child has copied the few it needs, which posix_spawn
// does not (it copies the whole table, and the child closes it all again at exec).
pid_t cloneTask(ChildPlan& plan) {
    alignas(64) static char stack[64 * 1024];
    sigset_t all, previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, &previous);
    const int flags = CLONE_VM | CLONE_VFORK | SIGCHLD | (plan.keepBelow >= 0 ? CLONE_FILES : 0);
    const pid_t pid = ::clone(childMain, stack + sizeof stack, flags, &plan);
    const int cloneError = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0)
        throw RuntimeError(systemErrorText(cloneError));
    if (plan.error == 0)
        return pid;
    ::waitpid(pid, nullptr, 0);
    switch (plan.stage) {
    case 1:
    case 2:
    case 3:
        throw RuntimeError(QStringLiteral("user: ") + systemErrorText(plan.error));
    case 4:
        throw RuntimeError(QStringLiteral("dir=") + fromSystemBytes(plan.dir) +
                           QStringLiteral(": ") + systemErrorText(plan.error));
    default:
        throw RuntimeError(systemErrorText(plan.error));
    }
}

} // namespace

void raiseDescriptorLimit() {
    rlimit limit{};
    if (descriptorLimitRaised || ::getrlimit(RLIMIT_NOFILE, &limit) != 0 ||
        limit.rlim_cur >= limit.rlim_max)
        return;
    const rlimit given = limit;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) == 0) {
        givenDescriptorLimit = given;
        descriptorLimitRaised = true;
    }
}

void restoreDescriptorLimit() {
    if (descriptorLimitRaised)
        ::setrlimit(RLIMIT_NOFILE, &givenDescriptorLimit);
}

void reserveLaunchDescriptor() {
    if (launchSlot < 0)
        launchSlot = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

Identity lookUpIdentity(const QString& value) {
    if (::geteuid() != 0)
        refuse("user", value,
               QStringLiteral("only a monitor running as root may run a task as "
                              "another user"));
    const qsizetype colon = value.indexOf(QLatin1Char(':'));
    const QByteArray userName = toSystemBytes(value.left(colon));
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    int rc = ::getpwnam_r(userName.constData(), &entry, buffer.data(), buffer.size(), &found);
    if (found == nullptr)
        refuse("user", value, rc == 0 ? QStringLiteral("no such user") : systemErrorText(rc));
    Identity identity;
    identity.uid = entry.pw_uid;
    identity.gid = entry.pw_gid;
    identity.name = entry.pw_name;
    identity.home = entry.pw_dir;
    identity.shell = entry.pw_shell != nullptr && *entry.pw_shell != 0 ? entry.pw_shell : "/bin/sh";
    if (colon >= 0) {
        const QByteArray groupName = toSystemBytes(value.mid(colon + 1));
        std::vector<char> groupBuffer(65536);
        group groupEntry{};
        group* groupFound = nullptr;
        rc = ::getgrnam_r(groupName.constData(), &groupEntry, groupBuffer.data(),
                          groupBuffer.size(), &groupFound);
        if (groupFound == nullptr)
            refuse("user", value, rc == 0 ? QStringLiteral("no such group") : systemErrorText(rc));
        identity.gid = groupEntry.gr_gid;
    }
    // The user's supplementary groups, as a login gives them; the chosen group among them.
    int count = 32;
    identity.groups.resize(static_cast<size_t>(count));
    while (::getgrouplist(identity.name.constData(), identity.gid, identity.groups.data(), &count) <
           0)
        identity.groups.resize(static_cast<size_t>(count));
    identity.groups.resize(static_cast<size_t>(count));
    return identity;
}

pid_t spawnTask(const LaunchSpec& request) {
    const QStringList parts = splitTaskCommand(request.command);
    if (parts.isEmpty())
        throw RuntimeError(systemErrorText(ENOENT));
    CStrings arguments;
    for (const QString& part : parts)
        arguments.bytes.push_back(toSystemBytes(part));

    const QByteArray dir = toSystemBytes(request.dir);
    if (!request.dir.isEmpty()) {
        struct stat info {};
        if (::stat(dir.constData(), &info) != 0)
            refuse("dir", request.dir, systemErrorText(errno));
        if (!S_ISDIR(info.st_mode))
            refuse("dir", request.dir, systemErrorText(ENOTDIR));
    }
    std::optional<Identity> identity;
    if (!request.user.isEmpty())
        identity = lookUpIdentity(request.user);

    // The monitor's environment is passed as it is unless the task adds to it.
    CStrings environment;
    const bool ownEnvironment = identity.has_value() || !request.envFile.isEmpty();
    if (ownEnvironment) {
        for (char** variable = environ; *variable != nullptr; ++variable)
            environment.bytes.emplace_back(*variable);
        if (identity) {
            setVariable(environment.bytes, "HOME=" + identity->home);
            setVariable(environment.bytes, "USER=" + identity->name);
            setVariable(environment.bytes, "LOGNAME=" + identity->name);
            setVariable(environment.bytes, "SHELL=" + identity->shell);
        }
        if (!request.envFile.isEmpty()) {
            for (const QByteArray& line : readEnvironmentFile(request.envFile))
                setVariable(environment.bytes, line);
        }
    }
    char* const* envp = ownEnvironment ? environment.get() : environ;
    char* const* argv = arguments.get();

    ChildPlan plan;
    plan.argv = argv;
    plan.envp = envp;
    plan.programs = programCandidates(arguments.bytes.front(), envp);
    plan.dir = request.dir.isEmpty() ? nullptr : dir.constData();
    plan.umask = request.umask;
    plan.identity = identity ? &*identity : nullptr;
    // The output reaches the child through the low descriptor set aside, so the child needs
    // nothing above it.
    plan.outputFd = request.outputFd;
    bool slotHoldsOutput = false;
    if (launchSlot >= 0) {
        if (plan.outputFd > launchSlot) {
            slotHoldsOutput = ::dup3(plan.outputFd, launchSlot, O_CLOEXEC) == launchSlot;
            if (slotHoldsOutput)
                plan.outputFd = launchSlot;
        }
        if (plan.outputFd <= launchSlot)
            plan.keepBelow = launchSlot + 1;
    }
    struct SlotRestorer {
        bool active;
        // Back to /dev/null, so that the slot keeps no task's output file open.
        ~SlotRestorer() {
            const int null = active ? ::open("/dev/null", O_RDONLY | O_CLOEXEC) : -1;
            if (null >= 0) {
                ::dup3(null, launchSlot, O_CLOEXEC);
                ::close(null);
            }
        }
    } restorer{slotHoldsOutput};
    return cloneTask(plan);
}
