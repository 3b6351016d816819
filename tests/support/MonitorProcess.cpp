#include "MonitorProcess.h"

#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

namespace testsupport {

MonitorProcess::MonitorProcess(bool withDesktop) : dirPath_(scratch_.path()) {
    const QString source = binaryDir() + QStringLiteral("/prowlix");
    EXPECT_TRUE(QFile::copy(source, scratch_.filePath(QStringLiteral("prowlix"))))
        << qPrintable(source);
    if (withDesktop) {
        const QString module = binaryDir() + QStringLiteral("/libprowlix-desktop.so");
        EXPECT_TRUE(QFile::copy(module, scratch_.filePath(QStringLiteral("libprowlix-desktop.so"))))
            << qPrintable(module);
    }
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

MonitorProcess::~MonitorProcess() {
    if (running()) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

QProcessEnvironment MonitorProcess::headlessEnvironment() {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    return environment;
}

void MonitorProcess::start(const QStringList& arguments, const QProcessEnvironment& environment) {
    QProcessEnvironment withSuppressions = environment;
    // A sanitizer build reports leaks at exit; those of system libraries are not the monitor's.
    if (!withSuppressions.contains(QStringLiteral("LSAN_OPTIONS")))
        withSuppressions.insert(QStringLiteral("LSAN_OPTIONS"),
                                QStringLiteral("suppressions=") + sourceDir() +
                                    QStringLiteral("/tests/support/lsan.supp"));
    process_.setProcessEnvironment(withSuppressions);
    process_.setWorkingDirectory(dirPath_);
    process_.start(scratch_.filePath(QStringLiteral("prowlix")), arguments);
    EXPECT_TRUE(process_.waitForStarted(5000)) << qPrintable(process_.errorString());
}

QString MonitorProcess::log() const {
    const QDir dir(dirPath_);
    QString text;
    // The date in the names sorts them oldest first, so a run across midnight reads in order.
    for (const QString& name :
         dir.entryList({QStringLiteral("LOG.prowlix*.txt")}, QDir::Files, QDir::Name))
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
    if (!waitUntil([&] { return !running(); }, deadline))
        return false;
    return process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
}

} // namespace testsupport
