// Command-line tokenizer and option lookup on arbitrary text.
#include "FuzzCheck.h"
#include "core/CommandLine.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QStringList tokens = clsCommandLine::SplitCommandLine(text);
    for (const QString& token : tokens) {
        check(!token.isEmpty());
        check(!token.contains(QLatin1Char('"')));
        check(token == token.trimmed());
    }

    // Re-joining the tokens gives them back: each one is quoted when it holds a blank.
    check(clsCommandLine::SplitCommandLine(clsCommandLine::argumentText(tokens)) == tokens);

    clsCommandLine cl;
    const QString value = cl.CommandValue(QStringLiteral("I"), text);
    check(cl.Commands() == tokens);
    if (!value.isEmpty()) {
        check(cl.CommandFlag(QStringLiteral("I"), text));
        bool found = false;
        for (const QString& token : tokens)
            found = found || token.endsWith(value);
        check(found);
    }
    return 0;
}
