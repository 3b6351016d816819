#pragma once

#include "platform/LaunchSpec.h"

#include <QByteArray>
#include <sys/types.h>
#include <vector>

// Starts a task's process on Linux in a session of its own, with default signal dispositions,
// nothing blocked, standard input from /dev/null, and the launch's user, directory, environment,
// mask and output. Returns its process identifier; throws RuntimeError with the reason when a
// value cannot be used or the program cannot be run (nothing is left running then).
pid_t spawnTask(const LaunchSpec& request);

// Sets a low descriptor aside through which a task's output reaches its child, so that a spawn
// copies only the descriptors below it. Call before the monitor holds a descriptor per task.
void reserveLaunchDescriptor();

// Every task holds a process descriptor: the monitor lifts its soft limit on descriptors to the
// hard one so that large tables fit. Its tasks and probes start with the soft limit the monitor
// was given, as a service manager's do: a program that uses select() or closes every descriptor
// up to the limit counts on a modest one.
void raiseDescriptorLimit();
// Between fork and exec: back to the soft limit the monitor was started with (a system call only).
void restoreDescriptorLimit();

// The user and groups a task runs as (user=NAME or NAME:GROUP), looked up as a login would: the
// user's supplementary groups, the chosen group among them. Looked up before forking, since the
// child may not allocate. Throws RuntimeError naming the option and the reason; only root may.
struct Identity {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    QByteArray home, name, shell;
};
Identity lookUpIdentity(const QString& value);
