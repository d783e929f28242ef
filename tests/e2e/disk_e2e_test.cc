// Real file systems and disks, which only root can make here: on a full
// ext4 a failed run gives back every byte it reserved, and loop devices are
// read at their size and written in place.
#include <unistd.h>

#include <filesystem>

#include "e2e/runner.h"

namespace {

namespace fs = std::filesystem;

bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

class DiskTest : public ToolTest {
 protected:
  void SetUp() override {
    if (TestingWindowsBuild() || geteuid() != 0) GTEST_SKIP() << "needs root on Linux";
    ToolTest::SetUp();
    fs::create_directory(Path("mnt"));
    if (!Shell("truncate -s 64M " + Path("ext4") + " && mkfs.ext4 -qF " + Path("ext4") + " && mount -o loop " +
               Path("ext4") + " " + Path("mnt"))) {
      GTEST_SKIP() << "cannot mount an ext4 image here (needs loop devices)";
    }
  }
  void TearDown() override {
    for (const std::string& disk : disks_) Shell("losetup -d " + disk);
    Shell("umount -q " + Path("mnt"));
    ToolTest::TearDown();
  }
  // A loop device over a new image of this content, linked at name.
  void Disk(const std::string& name, const std::string& content) {
    MakeFile(Path(name + ".img"), content);
    ASSERT_TRUE(Shell("losetup -f --show " + Path(name + ".img") + " > " + Path("loop")));
    disks_.push_back(ReadWholeFile(Path("loop")).substr(0, ReadWholeFile(Path("loop")).size() - 1));
    fs::create_symlink(disks_.back(), Path(name));
  }
  std::vector<std::string> disks_;
};

TEST_F(DiskTest, FailuresOnAFullFileSystemGiveBackWhatTheyReserved) {
  MakeFile(Path("mnt/small.fs"), "rand(4096,1)");
  MakeFile(Path("mnt/big.sparsefs/Map"), "hdr(65536,2048,0) 8K*255");
  MakeFile(Path("mnt/big.sparsefs/Store"), "");
  MakeFile(Path("mnt/cut.sparsefs/Map"), "hdr(65536,400,3) le(0,1,2) 1588*255");
  MakeFile(Path("mnt/cut.sparsefs/Store"), "rand(2C,2)");
  for (const auto& [args, err] :
       {std::pair<std::vector<std::string>, std::string>{{"create", "flat", "104857600", "a.fs"}, "Cannot write to file: 28\n"},
        {{"sparse-to-flat", "big.sparsefs", "b.fs"}, "Cannot write to file: 28\n"},
        {{"extend", "104857600", "small.fs"}, "Cannot set end of file: 28\n"},
        {{"sparse-to-flat", "cut.sparsefs", "c.fs"}, "Short read from file\n"}}) {
    EXPECT_EQ(RunTool(Path("mnt"), args).err, err);
    EXPECT_EQ(HiddenSpace(Path("mnt")), 0u) << args[0];
  }
  EXPECT_EQ(fs::file_size(Path("mnt/a.fs")), 0u);
  EXPECT_EQ(ReadWholeFile(Path("mnt/small.fs")), Content("rand(4096,1)"));
}

TEST_F(DiskTest, DisksAreReadAtTheirSizeAndWrittenInPlace) {
  const std::string image = "64K*0 rand(1C,1) rand(2C,2) 124C*0";
  Disk("source.fs", image);
  EXPECT_EQ(Run({"flat-to-sparse", "source.fs", "a.sparsefs"}).out.substr(0, 35), "Flat block device is 8388608 bytes\n");
  EXPECT_EQ(ReadWholeFile(Path("a.sparsefs/Map")), Content("hdr(65536,128,3) le(-,0,1,2) 496*255"));
  // Absent chunks overwrite what the disk held; what lies past the device stays.
  Disk("target.fs", "136C*'g'");
  EXPECT_EQ(Run({"sparse-to-flat", "a.sparsefs", "target.fs"}).status, 0);
  EXPECT_EQ(ReadWholeFile(Path("target.fs")), Content(image + " 8C*'g'"));
  Disk("exact.fs", "128C*'g'");
  EXPECT_EQ(Run({"sparse-to-flat", "a.sparsefs", "exact.fs"}).status, 0);
  EXPECT_EQ(ReadWholeFile(Path("exact.fs")), Content(image));
  // A disk too small for the device is refused before it is written.
  Disk("small.fs", "64C*'g'");
  EXPECT_EQ(Run({"sparse-to-flat", "a.sparsefs", "small.fs"}).err, "Cannot write to file: 28\n");
  EXPECT_EQ(ReadWholeFile(Path("small.fs")), Content("64C*'g'"));
}

}  // namespace
