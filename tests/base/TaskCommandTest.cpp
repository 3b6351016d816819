#include "base/TaskCommand.h"

#include "base/CommandTokens.h"
#include "base/RuntimeError.h"

#include <gtest/gtest.h>

TEST(TaskCommand, SingleQuotesGroupLiterallyAndDoubleQuotesKeepTheirMeaning) {
    const std::pair<const char*, QStringList> rows[] = {
        {"sh -c 'sleep 10; exit 3'", {"sh", "-c", "sleep 10; exit 3"}},
        {"a'b c'd e", {"ab cd", "e"}},                 // quoted parts join their neighbours
        {"x '' ' ' y", {"x", "", " ", "y"}},           // empty and blank arguments, as in a shell
        {"echo '\"quoted\"'", {"echo", "\"quoted\""}}, // double quotes are literal inside
        {"echo \"it's\"", {"echo", "it's"}},           // and a single quote inside double quotes
        {"\" a \" b", {"a", "b"}}, // double-quoted blanks trim as on the command line
        {"ls \"open", {"ls"}},     // an open double quote drops the rest
        {"C:\\bin\\tool.exe x", {"C:\\bin\\tool.exe", "x"}}, // a backslash is no escape
        {"\tsh -c\t '\t'", {"sh", "-c", "\t"}}}; // white space trims, as on the command line
    for (const auto& [command, expected] : rows)
        EXPECT_EQ(splitTaskCommand(QString::fromUtf8(command)), expected) << command;
    // The monitor's own arguments take a single quote as any other character.
    EXPECT_EQ(splitCommandTokens(QStringLiteral("it's 'a b'")), QStringList({"it's", "'a", "b'"}));
    // An open single quote is an error: the command is not guessed at.
    for (const char* unbalanced : {"'", "a 'b' 'c", "echo \"x\" don't"})
        EXPECT_THROW(splitTaskCommand(QString::fromUtf8(unbalanced)), RuntimeError) << unbalanced;
}
