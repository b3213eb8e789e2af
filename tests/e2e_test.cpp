#include "e2e_support.h"
#include <gtest/gtest.h>
TEST(Run, NoArgument) {
    TScratch dir;
    TRunResult r = RunTool(dir.Path, {});
    EXPECT_EQ(r.Stdout, Banner() + Lines({"Usage: Brovask.exe <filename or filemask> - extract files from package"}));
}
