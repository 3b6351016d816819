#include "TaskFunctions.h"

#include <gtest/gtest.h>

TEST(FileNameOf, TextAfterTheLastSeparator) {
    EXPECT_EQ(TaskFunctions::FileNameOf("C:\\Tools\\app.exe -x"), "app.exe -x");
    EXPECT_EQ(TaskFunctions::FileNameOf("C:\\Tools\\app.exe D:\\data\\in.txt"), "in.txt");
    EXPECT_EQ(TaskFunctions::FileNameOf("\"C:\\Program Files\\Tool\\tool.exe\""), "tool.exe\"");
    EXPECT_EQ(TaskFunctions::FileNameOf("/usr/bin/sleep 3600"), "sleep 3600");
    EXPECT_EQ(TaskFunctions::FileNameOf("sh -c \"sleep 7\""), "sh -c \"sleep 7\"");
    EXPECT_EQ(TaskFunctions::FileNameOf("dir\\"), "");
    EXPECT_EQ(TaskFunctions::FileNameOf(""), "");
}
