#include "CommandLine.h"

#include <gtest/gtest.h>

namespace {

TEST(CommandLine, BlanksSeparateQuotesGroupAndAnOpenQuoteDropsTheRest) {
    const std::pair<const char*, QStringList> rows[] = {
        {"", {}},
        {"   ", {}},
        {"a  b", {"a", "b"}},
        {"C:\\app.exe \"my file.txt\"", {"C:\\app.exe", "my file.txt"}},
        {"/I:\"C:\\My Dir\\w.ini\"", {"/I:C:\\My Dir\\w.ini"}},
        {"\"/I:C:\\My Dir\\w.ini\"", {"/I:C:\\My Dir\\w.ini"}},
        {"\"  /KILL  \"", {"/KILL"}},
        {"a\tb c", {"a\tb", "c"}}, // a tab is no separator
        {"first \"second third", {"first"}},
        {"first se\"cond", {"first"}}};
    for (const auto& [text, expected] : rows)
        EXPECT_EQ(clsCommandLine::SplitCommandLine(QString::fromUtf8(text)), expected) << text;
}

TEST(CommandLine, OptionsMatchInAnyCaseFirstWinsAndLongerNamesDoNot) {
    clsCommandLine cl;
    EXPECT_EQ(cl.CommandValue("P", "/P:100 /P:200"), "100");
    EXPECT_EQ(cl.CommandValue("I", "/i:Watch.INI"), "Watch.INI");
    EXPECT_EQ(cl.CommandValue("I", "/I:"), "");
    EXPECT_EQ(cl.CommandValue("L", "/LOG:x /L:off"), "off");
    EXPECT_EQ(cl.Commands().size(), 2);
    EXPECT_TRUE(cl.CommandFlag("KILL", "/kill"));
    EXPECT_TRUE(cl.CommandFlag("KILL", "/Kill:no")); // a value does not unset a flag
    EXPECT_FALSE(cl.CommandFlag("KILL", "/KILLALL"));
    EXPECT_FALSE(cl.CommandFlag("KILL", "KILL"));
    EXPECT_FALSE(cl.CommandFlag("KILL", ""));
    EXPECT_TRUE(cl.Commands().isEmpty());

    EXPECT_TRUE(clsCommandLine::isOption("/I:/etc/prowlix.ini"));
    EXPECT_FALSE(clsCommandLine::isOption("/usr/bin/xclock")); // program paths are no options
    const QStringList args{"/I:/tmp/my dir/w.ini", "/KILL", "sleep"};
    const QString text = clsCommandLine::argumentText(args);
    EXPECT_EQ(text, "\"/I:/tmp/my dir/w.ini\" /KILL sleep");
    EXPECT_EQ(clsCommandLine::SplitCommandLine(text), args);
}

} // namespace
