#include "platform/FileNames.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "platform/Bits.h"

namespace zav {
namespace {

TEST(FileNames, DirectoryPartKeepsTheRootWhole) {
  EXPECT_EQ(JustPathname("/home/op/file.txt"), "/home/op");
  EXPECT_EQ(JustPathname("/file.txt"), "/");
  EXPECT_EQ(JustPathname("dir/sub/"), "dir/sub");
  EXPECT_EQ(JustPathname("file.txt"), "");
  EXPECT_EQ(JustPathname(""), "");
}

TEST(FileNames, FileNamePartIsAfterTheLastSlash) {
  EXPECT_EQ(JustFilename("/home/op/file.txt"), "file.txt");
  EXPECT_EQ(JustFilename("file.txt"), "file.txt");
  EXPECT_EQ(JustFilename("dir/"), "");
}

TEST(FileNames, TrailingSlashNeverTurnsTheCurrentDirectoryIntoTheRoot) {
  EXPECT_EQ(AddTrailingSlash("/tmp"), "/tmp/");
  EXPECT_EQ(AddTrailingSlash("/tmp/"), "/tmp/");
  EXPECT_EQ(AddTrailingSlash(""), "");
}

TEST(FileNames, ExistFileIsFalseForDirectoriesAndMissingFiles) {
  auto dir = std::filesystem::temp_directory_path() / ("zav-fn-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  auto file = dir / "a.bin";
  FILE* f = fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  EXPECT_TRUE(ExistFile(file.string()));
  EXPECT_FALSE(ExistFile(dir.string()));
  EXPECT_FALSE(ExistFile((dir / "missing").string()));
  EXPECT_FALSE(ExistFile(""));
  std::filesystem::remove_all(dir);
}

TEST(Bits, SetTestAndClear) {
  uint32_t v = 0;
  SetFlag(v, 0x11);
  EXPECT_TRUE(FlagIsSet(v, 0x10));
  EXPECT_TRUE(FlagIsSet(v, 0x30));  // any of the bits
  ClearFlag(v, 0x01);
  EXPECT_EQ(v, 0x10u);
  EXPECT_FALSE(FlagIsSet(v, 0x01));
}

}  // namespace
}  // namespace zav
