#include "MonitorProcess.h"

#include "TestSupport.h"

#include <QDir>
#include <gtest/gtest.h>

namespace testsupport {

MonitorProcess::MonitorProcess(bool withDesktop) : dirPath_(scratch_.path()) {
    QStringList files{"prowlix"};
    if (withDesktop)
        files << "libprowlix-desktop.so";
    for (const QString& name : files)
        EXPECT_TRUE(QFile::copy(qEnvironmentVariable("PROWLIX_BINARY_DIR") + u'/' + name,
                                scratch_.filePath(name)))
            << qPrintable(name);
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

QProcessEnvironment MonitorProcess::headlessEnvironment() {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name :
         {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "PROWLIX_RUNTIME_DIR"})
        environment.remove(name);
    return environment;
}

void MonitorProcess::start(const QStringList& arguments, const QProcessEnvironment& environment) {
    QProcessEnvironment withSuppressions = environment;
    // A sanitizer build reports leaks at exit; those of system libraries are not the monitor's.
    withSuppressions.insert("LSAN_OPTIONS",
                            "suppressions=" + sourceDir() + "/tests/support/lsan.supp");
    // Each monitor keeps its lock and state file in its own scratch folder unless the test shares
    // one between monitors; the machine's runtime directory is left alone.
    if (!withSuppressions.contains("PROWLIX_RUNTIME_DIR"))
        withSuppressions.insert("PROWLIX_RUNTIME_DIR", dirPath_ + "/run");
    process_.setProcessEnvironment(withSuppressions);
    process_.setWorkingDirectory(dirPath_);
    process_.start(scratch_.filePath(QStringLiteral("prowlix")), arguments);
    EXPECT_TRUE(process_.waitForStarted(5000)) << qPrintable(process_.errorString());
}

QString MonitorProcess::log() const {
    const QDir dir(dirPath_);
    QString text;
    // The date in the names sorts them oldest first, so a run across midnight reads in order.
    for (const QString& name : dir.entryList({"LOG.prowlix*.txt"}, QDir::Files, QDir::Name))
        text += readFile(dir.filePath(name));
    return text;
}

bool MonitorProcess::waitForLog(const QString& text, std::chrono::milliseconds deadline) {
    waitUntil([&] { return log().contains(text) || !running(); }, deadline);
    return log().contains(text);
}

bool MonitorProcess::stop(int signal, std::chrono::milliseconds deadline) {
    if (running())
        ::kill(static_cast<pid_t>(pid()), signal);
    return waitUntil([&] { return !running(); }, deadline) &&
           process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
}

} // namespace testsupport
