// Real file systems and disks, which only root can make here: on a full
// ext4 a failed run must give back every byte it reserved, and loop devices
// are read at their size and written in place.
#include <sys/statvfs.h>
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
    if (!Shell("truncate -s 64M " + Path("ext4") + " && mkfs.ext4 -qF " + Path("ext4") +
               " && mount -o loop " + Path("ext4") + " " + Path("mnt"))) {
      GTEST_SKIP() << "cannot mount an ext4 image here (needs loop devices)";
    }
    mounted_ = true;
  }
  void TearDown() override {
    for (const std::string& disk : disks_) Shell("losetup -d " + disk);
    if (mounted_) Shell("umount " + Path("mnt"));
    ToolTest::TearDown();
  }
  // A loop device over a new image of the given content.
  std::string Disk(const std::string& name, const std::string& content) {
    MakeFile(Path(name), content);
    const std::string list = Path(name + ".loop");
    EXPECT_TRUE(Shell("losetup -f --show " + Path(name) + " > " + list));
    std::string disk = ReadWholeFile(list);
    disk.pop_back();
    disks_.push_back(disk);
    return disk;
  }
  std::uint64_t FreeBytes() {
    struct statvfs info;
    statvfs(Path("mnt").c_str(), &info);
    return std::uint64_t{info.f_bavail} * info.f_frsize;
  }
  bool mounted_ = false;
  std::vector<std::string> disks_;
};

TEST_F(DiskTest, FailuresOnAFullFileSystemGiveBackWhatTheyReserved) {
  MakeFile(Path("mnt/small.fs"), "rand(4096,1)");
  fs::create_directories(Path("mnt/big.sparsefs"));
  MakeFile(Path("mnt/big.sparsefs/Map"), "hdr(65536,2048,0) 8K*255");
  MakeFile(Path("mnt/big.sparsefs/Store"), "");
  fs::create_directories(Path("mnt/cut.sparsefs"));
  MakeFile(Path("mnt/cut.sparsefs/Map"), "hdr(65536,400,3) le(0,1,2) 1588*255");
  MakeFile(Path("mnt/cut.sparsefs/Store"), "rand(2C,2)");
  const std::uint64_t free = FreeBytes();
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  for (const Case& c : {Case{{"create", "flat", "104857600", "a.fs"}, "Cannot write to file: 28\n"},
                        Case{{"sparse-to-flat", "big.sparsefs", "b.fs"}, "Cannot write to file: 28\n"},
                        Case{{"extend", "104857600", "small.fs"}, "Cannot set end of file: 28\n"},
                        Case{{"sparse-to-flat", "cut.sparsefs", "c.fs"}, "Short read from file\n"}}) {
    const ToolResult result = RunTool(Path("mnt"), c.args);
    EXPECT_EQ(result.status, 1) << c.args[0];
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(HiddenSpace(Path("mnt")), 0u) << c.args[0];
  }
  // A failed creation leaves an empty file, a failed extension the old one.
  EXPECT_EQ(fs::file_size(Path("mnt/a.fs")), 0u);
  EXPECT_EQ(ReadWholeFile(Path("mnt/small.fs")), Content("rand(4096,1)"));
  EXPECT_GE(FreeBytes() + (1 << 20), free);
}

TEST_F(DiskTest, DisksAreReadAtTheirSizeAndWrittenInPlace) {
  const std::string image = "rand(1C,1) 64K*0 rand(2C,2) 124C*0";
  fs::create_symlink(Disk("source.img", image), Path("source.fs"));
  const ToolResult there = Run({"flat-to-sparse", "source.fs", "a.sparsefs"});
  EXPECT_EQ(there.out.substr(0, 35), "Flat block device is 8388608 bytes\n");
  EXPECT_EQ(ReadWholeFile(Path("a.sparsefs/Map")), Content("hdr(65536,128,3) le(0,-,1,2) 496*255"));

  // Absent chunks overwrite what the disk held; what lies past the device
  // stays.
  fs::create_symlink(Disk("target.img", "136C*'g'"), Path("target.fs"));
  EXPECT_EQ(Run({"sparse-to-flat", "a.sparsefs", "target.fs"}).status, 0);
  EXPECT_EQ(ReadWholeFile(Path("target.fs")), Content(image + " 8C*'g'"));

  // A disk too small for the device is refused before it is written.
  fs::create_symlink(Disk("small.img", "64C*'g'"), Path("small.fs"));
  const ToolResult small = Run({"sparse-to-flat", "a.sparsefs", "small.fs"});
  EXPECT_EQ(small.err, "Cannot write to file: 28\n");
  EXPECT_EQ(ReadWholeFile(Path("small.fs")), Content("64C*'g'"));
}

}  // namespace
