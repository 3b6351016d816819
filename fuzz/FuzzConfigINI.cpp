// INI lines through the reader and the runtime conversions. Task lines launch through a
// process control whose processes are entries only, so the fuzzer never starts a program.
#include "EngineDoubles.h"
#include "FakeProcesses.h"
#include "FuzzCheck.h"
#include "base/RuntimeError.h"
#include "core/AppSettings.h"
#include "core/ConfigINI.h"
#include "core/Conversions.h"
#include "log/Log.h"
#include "mail/SMTPClient.h"
#include "platform/ProcessControl.h"
#include "tasks/TaskFunctions.h"
#include "tasks/TaskList.h"
#include "tasks/TaskTable.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {

// A mail key's conversion error names the key and value before the bare description.
bool knownError(const RuntimeError& error) {
    return error.description().endsWith(QLatin1String("Type mismatch")) ||
           error.description().endsWith(QLatin1String("Overflow"));
}

// Fields joined again give the text without its quotes and unquoted commas; a quote left open
// loses the last field, so then only a prefix comes back.
void checkFields(const QString& value) {
    const QStringList fields = ConfigINI::SplitFields(value);
    check(!fields.isEmpty() && fields[0].isEmpty());
    QString expected;
    int separators = 0;
    bool inQuotes = false;
    for (const QChar c : value) {
        if (c == QLatin1Char('"'))
            inQuotes = !inQuotes;
        else if (c == QLatin1Char(',') && !inQuotes)
            ++separators;
        else
            expected += c;
    }
    QString joined;
    for (qsizetype i = 1; i < fields.size(); ++i) {
        check(!fields[i].contains(QLatin1Char('"')));
        joined += fields[i];
    }
    if (inQuotes) {
        check(expected.startsWith(joined));
    } else {
        check(joined == expected);
        // The comma appended to a value that lacks one closes the last field.
        const int closing = value.endsWith(QLatin1Char(',')) && separators > 0 ? 0 : 1;
        check(fields.size() - 1 == separators + closing);
    }
}

void checkConversions(const QString& text) {
    try {
        const double v = Conversions::Val(text);
        check(!std::isnan(v));
        (void)Conversions::roundHalfEven(v);
        (void)Conversions::numberText(v);
    } catch (const RuntimeError& error) {
        check(error.description() == QLatin1String("Overflow"));
    }
    try {
        const qint16 n = Conversions::CInt(text);
        // A number that converts must convert the same with blanks around it.
        check(Conversions::CInt(QLatin1Char(' ') + text + QLatin1Char(' ')) == n);
    } catch (const RuntimeError& error) {
        check(knownError(error));
    }
    try {
        (void)Conversions::CBool(text);
    } catch (const RuntimeError& error) {
        check(knownError(error));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    AppSettings settings;
    TaskTable tasks;
    TaskList up;
    TaskList down;
    Log log(ProgramInfo{QStringLiteral("/nonexistent"), QStringLiteral("fuzz")});
    testsupport::FakeProcesses processes;
    TaskFunctions taskFunctions(tasks, up, down, log, processes);
    SMTPClient mail;
    ConfigINI ini(settings, taskFunctions, mail, log);

    // Lines end at CR or LF as in a file; a conversion error ends the reading as at start-up.
    const QStringList lines = text.split(QRegularExpression(QStringLiteral("\r\n|\r|\n")));
    for (const QString& line : lines) {
        checkFields(line);
        checkConversions(line);
        try {
            ini.ParseINILine(line);
        } catch (const RuntimeError& error) {
            check(knownError(error));
            break;
        }
    }

    check(tasks.TaskCount == processes.launched.size());
    check(up.count() == tasks.TaskCount && down.count() == 0);
    for (int p = 1; p <= tasks.upperBound(); ++p) {
        const TaskRecord& task = tasks[p];
        check(task.TaskId == p && task.IsUp);
        check(task.PathAndFile == processes.launched[p - 1]);
        // The comment mark and the quotes never reach a command.
        check(!task.PathAndFile.contains(QLatin1Char(';')));
        check(!task.PathAndFile.contains(QLatin1Char('"')));
    }
    for (const INIEntry& entry : settings.INIEntries) {
        check(!entry.Key.isEmpty() && !entry.Key.contains(QLatin1Char('=')));
        check(!entry.Key.contains(QLatin1Char(';')) && !entry.Value.contains(QLatin1Char(';')));
        check(!entry.Key.startsWith(QLatin1Char(' ')) && !entry.Value.endsWith(QLatin1Char(' ')));
    }
    check(!mail.MailServer.contains(QLatin1Char(';')) &&
          !mail.ToAddress.contains(QLatin1Char(';')));
    return 0;
}
