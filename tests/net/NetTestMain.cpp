// Every run works in a directory of its own: the log ("Log/" there) and the
// files the tests download stay apart from other runs.

#include "tests/common/Directories.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    fixtures::useRunDirectory("net_tests", fixtures::RunDirectory::AsRoot);
    return RUN_ALL_TESTS();
}
