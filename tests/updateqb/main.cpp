#include "ToolHarness.h"

#include <gtest/gtest.h>

int main(int argc, char* argv[])
{
    harness::enterPrivateRoot(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
