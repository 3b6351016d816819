#include "CommandLine.h"

#include <gtest/gtest.h>

namespace {

QStringList tokens(const QString& text) {
    return clsCommandLine::SplitCommandLine(text);
}

TEST(CommandLineSplit, BlanksSeparateQuotesGroupAndAreDropped) {
    EXPECT_TRUE(tokens(QString()).isEmpty());
    EXPECT_TRUE(tokens(QStringLiteral("   ")).isEmpty());
    EXPECT_EQ(tokens(QStringLiteral("a  b")), (QStringList{"a", "b"}));
    EXPECT_EQ(tokens(QStringLiteral("C:\\app.exe \"my file.txt\"")),
              (QStringList{"C:\\app.exe", "my file.txt"}));
    EXPECT_EQ(tokens(QStringLiteral("/I:\"C:\\My Dir\\w.ini\"")), (QStringList{"/I:C:\\My Dir\\w.ini"}));
    EXPECT_EQ(tokens(QStringLiteral("\"/I:C:\\My Dir\\w.ini\"")), (QStringList{"/I:C:\\My Dir\\w.ini"}));
    EXPECT_EQ(tokens(QStringLiteral("\"  /KILL  \"")), (QStringList{"/KILL"}));
}

TEST(CommandLineSplit, TabIsNoSeparatorAndOpenQuoteDropsTheRest) {
    EXPECT_EQ(tokens(QStringLiteral("a\tb c")), (QStringList{"a\tb", "c"}));
    EXPECT_EQ(tokens(QStringLiteral("first \"second third")), (QStringList{"first"}));
    EXPECT_EQ(tokens(QStringLiteral("first se\"cond")), (QStringList{"first"}));
}

TEST(CommandLineOptions, ValueFirstMatchWinsCaseOfValueKept) {
    clsCommandLine cl;
    EXPECT_EQ(cl.CommandValue("P", "/P:100 /P:200"), "100");
    EXPECT_EQ(cl.CommandValue("I", "/i:Watch.INI"), "Watch.INI");
    EXPECT_EQ(cl.CommandValue("I", "/I:"), "");
    EXPECT_EQ(cl.CommandValue("I", ""), "");
    EXPECT_EQ(cl.CommandValue("L", "/LOG:x /L:off"), "off");
    EXPECT_TRUE(cl.Commands().size() == 2);
}

TEST(CommandLineOptions, FlagWithOrWithoutValueButNotLongerName) {
    clsCommandLine cl;
    EXPECT_TRUE(cl.CommandFlag("KILL", "/kill"));
    EXPECT_TRUE(cl.CommandFlag("KILL", "/Kill:no"));
    EXPECT_TRUE(cl.CommandFlag("KILL", "/KILL:FALSE"));
    EXPECT_FALSE(cl.CommandFlag("KILL", "/KILLALL"));
    EXPECT_FALSE(cl.CommandFlag("KILL", "KILL"));
    EXPECT_FALSE(cl.CommandFlag("KILL", ""));
    EXPECT_TRUE(cl.Commands().isEmpty());
}

TEST(CommandLineOptions, ProgramPathsAreNotOptions) {
    EXPECT_TRUE(clsCommandLine::isOption("/KILL"));
    EXPECT_TRUE(clsCommandLine::isOption("/I:/etc/prowlix.ini"));
    EXPECT_FALSE(clsCommandLine::isOption("/usr/bin/xclock"));
    EXPECT_FALSE(clsCommandLine::isOption("sleep"));
}

TEST(CommandLineArguments, RebuiltTextSplitsBackIntoTheSameArguments) {
    const QStringList args{"/I:/tmp/my dir/w.ini", "/KILL", "sleep"};
    const QString text = clsCommandLine::argumentText(args);
    EXPECT_EQ(text, "\"/I:/tmp/my dir/w.ini\" /KILL sleep");
    EXPECT_EQ(tokens(text), args);
}

} // namespace
