#include "cli/command_line.h"

#include <gtest/gtest.h>

namespace {

TEST(FindExtensionTest, TakesTheTextAfterTheLastDotOfTheWholePath) {
  EXPECT_EQ(FindExtension("disk.fs"), "fs");
  EXPECT_EQ(FindExtension("a.b.sparsefs"), "sparsefs");
  EXPECT_EQ(FindExtension(".fs"), "fs");
  EXPECT_EQ(FindExtension("disk."), "");
  EXPECT_EQ(FindExtension("dir.v2/disk"), "v2/disk");
  EXPECT_EQ(FindExtension("disk"), std::nullopt);
  EXPECT_EQ(FindExtension(""), std::nullopt);
}

TEST(RequirePathTest, AcceptsOnlyTheExactExtension) {
  RequireFlatPath("x.fs");
  RequireSparsePath("dir.fs/x.sparsefs");
  EXPECT_EXIT(RequireFlatPath("x.Fs"), testing::ExitedWithCode(1),
              "^Flat block device must have extension 'fs'\n$");
  EXPECT_EXIT(RequireSparsePath("x.sparsefs.bak"), testing::ExitedWithCode(1),
              "^Sparse block device must have extension 'sparsefs'\n$");
}

}  // namespace
