#include "TaskCommand.h"

#include "CommandTokens.h"

QStringList splitTaskCommand(const QString& command) {
    return splitCommandTokens(command, SingleQuotes::Literal);
}
