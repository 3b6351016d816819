// Control request lines, as any local client may send them, answered against a small task table.
#include "EngineDoubles.h"
#include "FakeProcesses.h"
#include "FuzzCheck.h"
#include "ManualClock.h"
#include "control/ControlRequest.h"
#include "control/ControlServer.h"
#include "log/Log.h"
#include "tasks/TaskFunctions.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdint>
#include <cstdlib>

namespace {

struct Engine {
    Log log{ProgramInfo{QStringLiteral("/nonexistent"), QStringLiteral("prowlix")}};
    TaskTable tasks;
    TaskList up, down;
    testsupport::FakeProcesses processes;
    testsupport::ManualClock clock;
    TaskFunctions functions{tasks, up, down, log, processes, clock};
    ControlServer server{tasks, functions, log, clock};
    Engine() {
        for (const char* name : {"Web", "Twin", "Twin", "all"}) {
            QString text = QString::fromLatin1(name);
            qint16 mode = 0;
            functions.StartTask(text, QStringLiteral("prog"), mode, true);
        }
    }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
    static Engine engine;
    const QByteArray line(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    QString error;
    const auto request = ControlRequest::parse(line, &error);
    check(request.has_value() == error.isEmpty());
    if (request)
        check(ControlRequest::verbs().contains(request->cmd));

    // Every line gets one well-formed reply; a refusal says why and gives a known code.
    const QByteArray reply = engine.server.answer(line, ControlSocket::Peer{});
    check(!reply.contains('\n'));
    const QJsonObject object = QJsonDocument::fromJson(reply).object();
    check(object.value(QLatin1String("ok")).isBool());
    if (!object.value(QLatin1String("ok")).toBool() && !object.contains(QLatin1String("results"))) {
        const int code = object.value(QLatin1String("code")).toInt();
        check(code == 1 || code == 4);
        check(!object.value(QLatin1String("error")).toString().isEmpty());
    }
    check(engine.tasks.upperBound() == 4); // a request never adds or removes a task
    return 0;
}
