#include "tests/engine/EngineTestSupport.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    initTestDirectory();
    const int result = RUN_ALL_TESTS();
    removeTestDirectory();
    return result;
}
