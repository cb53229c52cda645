#include "platform/Platform.h"
#include "tests/common/Directories.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    fixtures::useRunDirectory("engine tests", fixtures::RunDirectory::AsRoot);
    // A box would wait for a user who is not there.
    platform::setMessageBoxHandler([](const std::wstring&, const std::wstring&, unsigned) {});
    return RUN_ALL_TESTS();
}
