#include "TaskCommand.h"

#include "RuntimeError.h"

#include <gtest/gtest.h>

namespace {

TEST(TaskCommand, SingleQuotesGroupLiterallyAndDoubleQuotesKeepTheirMeaning) {
    const std::pair<const char*, QStringList> rows[] = {
        {"sh -c 'sleep 10'", {"sh", "-c", "sleep 10"}},
        {"sh -c 'sleep 10; exit 3'", {"sh", "-c", "sleep 10; exit 3"}},
        {"a'b c'd e", {"ab cd", "e"}},                 // quoted parts join their neighbours
        {"x '' y", {"x", "", "y"}},                    // an empty argument, as in a shell
        {"x ' ' y", {"x", " ", "y"}},                  // quoted blanks are not trimmed
        {"echo '\"quoted\"'", {"echo", "\"quoted\""}}, // double quotes are literal inside
        {"echo \"it's\"", {"echo", "it's"}},           // and a single quote inside double quotes
        {"\"/opt/My Tools/run\" -v", {"/opt/My Tools/run", "-v"}},
        {"\" a \"", {"a"}},    // double-quoted blanks trim as on the command line
        {"ls \"open", {"ls"}}, // an open double quote drops the rest
        {"C:\\bin\\tool.exe x", {"C:\\bin\\tool.exe", "x"}}, // a backslash is no escape
        {"   ", {}}};
    for (const auto& [command, expected] : rows)
        EXPECT_EQ(splitTaskCommand(QString::fromUtf8(command)), expected) << command;

    for (const char* unbalanced : {"sh -c 'sleep 10", "'", "a 'b' 'c", "echo \"x\" don't"}) {
        try {
            splitTaskCommand(QString::fromUtf8(unbalanced));
            ADD_FAILURE() << "accepted " << unbalanced;
        } catch (const RuntimeError& error) {
            EXPECT_TRUE(error.description().contains(QLatin1String("single quote"))) << unbalanced;
        }
    }
}

} // namespace
