#include "platform/SignalWatcher.h"

#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
int pipeFds[2] = {-1, -1};

void onSignal(int sig) {
    const unsigned char byte = static_cast<unsigned char>(sig);
    [[maybe_unused]] const auto written = ::write(pipeFds[1], &byte, 1);
}

constexpr int watched[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};
} // namespace

void ignoreStraySignals() {
    for (const int sig : {SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM})
        ::signal(sig, SIG_IGN);
}

SignalWatcher::SignalWatcher(QObject* parent) : QObject(parent) {
    ignoreStraySignals();
    if (pipeFds[0] < 0 && ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    notifier_ = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SignalWatcher::readPipe);
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : watched)
        ::sigaction(sig, &sa, nullptr);
}

SignalWatcher::~SignalWatcher() {
    for (int sig : watched)
        ::signal(sig, SIG_DFL);
}

void SignalWatcher::readPipe() {
    unsigned char byte = 0;
    while (::read(pipeFds[0], &byte, 1) == 1)
        Q_EMIT stopRequested(byte);
}
