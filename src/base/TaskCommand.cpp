#include "base/TaskCommand.h"

#include "base/CommandTokens.h"

QStringList splitTaskCommand(const QString& command) {
    return splitCommandTokens(command, SingleQuotes::Literal);
}
