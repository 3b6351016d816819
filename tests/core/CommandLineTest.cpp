#include "core/CommandLine.h"

#include <gtest/gtest.h>

namespace {

TEST(CommandLine, OptionsMatchInAnyCaseFirstWinsAndLongerNamesDoNot) {
    clsCommandLine cl;
    EXPECT_EQ(cl.CommandValue("P", "/P:100 /P:200"), "100");
    EXPECT_EQ(cl.CommandValue("I", "/i:\"C:\\My Dir\\w.ini\""), "C:\\My Dir\\w.ini");
    EXPECT_EQ(cl.CommandValue("I", "/I:"), "");
    EXPECT_EQ(cl.CommandValue("L", "/LOG:x /L:off"), "off");
    EXPECT_EQ(cl.Commands().size(), 2);
    EXPECT_TRUE(cl.CommandFlag("KILL", "/kill"));
    EXPECT_TRUE(cl.CommandFlag("KILL", "/Kill:no")); // a value does not unset a flag
    for (const char* text : {"/KILLALL", "KILL", ""})
        EXPECT_FALSE(cl.CommandFlag("KILL", text)) << text;

    EXPECT_TRUE(clsCommandLine::isOption("/I:/etc/prowlix.ini"));
    EXPECT_FALSE(clsCommandLine::isOption("/usr/bin/xclock")); // program paths are no options
    const QStringList args{"/I:/tmp/my dir/w.ini", "/KILL", "sleep"};
    const QString text = clsCommandLine::argumentText(args);
    EXPECT_EQ(text, "\"/I:/tmp/my dir/w.ini\" /KILL sleep");
    EXPECT_EQ(clsCommandLine::SplitCommandLine(text), args);
}

// A double quote inside an argument cannot be told apart from the quoting of the argument text:
// such an argument is left out and reported, and never swallows or forges the ones after it.
TEST(CommandLine, AnArgumentHoldingADoubleQuoteIsRefusedAndTheRestKeptWhole) {
    const std::pair<QStringList, QStringList> rows[] = {
        {{"./x.sh \"72", "/P:18434"}, {"/P:18434"}},
        {{"x.sh 71\" \"/I:other.ini", "sleep 1"}, {"sleep 1"}},
        {{"\"", "/KILL", "a\"b c", "sh -c 'x'"}, {"/KILL", "sh -c 'x'"}}};
    for (const auto& [arguments, kept] : rows) {
        const QString text = clsCommandLine::argumentText(arguments);
        EXPECT_EQ(clsCommandLine::SplitCommandLine(text), kept) << qPrintable(text);
        QStringList refused = arguments;
        for (const QString& k : kept)
            refused.removeOne(k);
        EXPECT_EQ(clsCommandLine::refusedArguments(arguments), refused);
    }
}

} // namespace
