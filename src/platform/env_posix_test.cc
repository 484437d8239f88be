#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/env.h"
#include "platform/physical_memory.h"
#include "platform/test_temp_dir.h"

namespace dembase::platform {
namespace {

std::span<const std::byte> Bytes(const std::string& s) { return std::as_bytes(std::span(s.data(), s.size())); }
std::span<std::byte> Out(std::string& s) { return std::as_writable_bytes(std::span(s.data(), s.size())); }

std::unique_ptr<File> Open(const std::string& path, Access a, Disposition d) {
  return Env::Default()->OpenFile(path, OpenOptions{a, Share::kRead, d, false});
}

bool Put(const std::string& path, const std::string& contents) {
  auto f = Open(path, Access::kWrite, Disposition::kCreateAlways);
  return f != nullptr && f->WriteAt(0, Bytes(contents));
}

std::optional<std::string> Get(const std::string& path) {
  auto f = Open(path, Access::kRead, Disposition::kOpenExisting);
  uint64_t size = 0;
  if (f == nullptr || !f->Size(&size)) return std::nullopt;
  std::string out(size, '\0');
  return f->ReadAt(0, Out(out)) ? std::optional(out) : std::nullopt;
}

class EnvPosixTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
  Env* env() { return Env::Default(); }
  TestTempDir dir_;
};

TEST_F(EnvPosixTest, PositionedIoAndShortReads) {
  auto f = Open(dir_.Join("f"), Access::kReadWrite, Disposition::kCreateNew);
  ASSERT_NE(f, nullptr);
  ASSERT_TRUE(f->WriteAt(0, Bytes("abcd")) && f->WriteAt(100, Bytes("wxyz")) && f->Sync());
  uint64_t size = 0;
  ASSERT_TRUE(f->Size(&size));
  EXPECT_EQ(size, 104u);
  std::string got(4, '?');
  ASSERT_TRUE(f->ReadAt(100, Out(got)));
  EXPECT_EQ(got, "wxyz");
  EXPECT_FALSE(f->ReadAt(102, Out(got))) << "two bytes short";
  EXPECT_FALSE(f->ReadAt(104, Out(got))) << "at end of file";
  EXPECT_FALSE(f->ReadAt(uint64_t{1} << 63, Out(got)));
}

TEST_F(EnvPosixTest, DispositionsAccessAndPaths) {
  const std::string path = dir_.Join("d");
  EXPECT_EQ(Open(path, Access::kRead, Disposition::kOpenExisting), nullptr);
  ASSERT_TRUE(Put(path, "old contents"));
  EXPECT_EQ(Open(path, Access::kWrite, Disposition::kCreateNew), nullptr);
  EXPECT_EQ(Get(path), "old contents");
  EXPECT_FALSE(Open(path, Access::kRead, Disposition::kOpenExisting)->WriteAt(0, Bytes("x")));
  std::string b(1, '\0');
  EXPECT_FALSE(Open(path, Access::kWrite, Disposition::kOpenExisting)->ReadAt(0, Out(b)));
  ASSERT_TRUE(Put(path, "new"));
  EXPECT_EQ(Get(path), "new") << "kCreateAlways truncates";

  std::string stored = path;  // stored paths use '\'
  stored[stored.rfind('/')] = '\\';
  EXPECT_EQ(Get(stored), "new");
  std::string with_nul = dir_.Join("a");
  with_nul += std::string(1, '\0') + "b";
  EXPECT_EQ(Open(with_nul, Access::kWrite, Disposition::kCreateAlways), nullptr);
  EXPECT_FALSE(env()->Exists(dir_.Join("a"))) << "a NUL must not shorten the path";
  EXPECT_EQ(Open(dir_.path(), Access::kRead, Disposition::kOpenExisting), nullptr) << "a directory";
  ASSERT_EQ(mkfifo(dir_.Join("fifo").c_str(), 0600), 0);
  EXPECT_EQ(Open(dir_.Join("fifo"), Access::kRead, Disposition::kOpenExisting), nullptr) << "and no hang";
}

TEST_F(EnvPosixTest, Directories) {
  const std::string d = dir_.Join("sub");
  ASSERT_TRUE(env()->CreateDir(d));
  EXPECT_TRUE(env()->IsDirectory(d));
  EXPECT_FALSE(env()->CreateDir(d)) << "exists";
  ASSERT_TRUE(Put(d + "/f", "x"));
  EXPECT_FALSE(env()->RemoveDir(d)) << "not empty";
  EXPECT_TRUE(env()->SyncDir(d));
  EXPECT_TRUE(env()->RemoveFile(d + "/f") && env()->RemoveDir(d));
  EXPECT_FALSE(env()->Exists(d));
  ASSERT_EQ(symlink("nowhere", dir_.Join("dangling").c_str()), 0);
  EXPECT_TRUE(env()->Exists(dir_.Join("dangling"))) << "a dangling link still takes the name";
}

TEST_F(EnvPosixTest, RenameAndLinkFailWhenTargetExists) {
  const std::string a = dir_.Join("a");
  const std::string b = dir_.Join("b");
  ASSERT_TRUE(Put(a, "A") && Put(b, "B") && env()->CreateDir(dir_.Join("d1")));
  EXPECT_FALSE(env()->Rename(a, b));
  EXPECT_FALSE(env()->Rename(dir_.Join("d1"), b));
  EXPECT_EQ(Get(a), "A");
  EXPECT_EQ(Get(b), "B");
  EXPECT_TRUE(env()->Rename(dir_.Join("d1"), dir_.Join("d2")));
  ASSERT_TRUE(env()->Rename(a, dir_.Join("c")));
  EXPECT_EQ(Get(dir_.Join("c")), "A");
  ASSERT_TRUE(env()->ReplaceFile(dir_.Join("c"), b));
  EXPECT_EQ(Get(b), "A");
  EXPECT_FALSE(env()->LinkFile(dir_.Join("missing"), dir_.Join("e")));
  ASSERT_TRUE(env()->LinkFile(b, dir_.Join("e")));
  EXPECT_FALSE(env()->LinkFile(b, dir_.Join("e")));
  ASSERT_TRUE(Put(dir_.Join("e"), "E"));
  EXPECT_EQ(Get(b), "E") << "one file under two names";
}

TEST_F(EnvPosixTest, CopyFile) {
  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7919 >> 5);
  const std::string src = dir_.Join("src");
  ASSERT_TRUE(Put(src, big));
  ASSERT_TRUE(env()->CopyFile(src, dir_.Join("dst")));
  EXPECT_EQ(Get(dir_.Join("dst")), big);

  ASSERT_TRUE(Put(dir_.Join("dst"), "keep me"));
  EXPECT_FALSE(env()->CopyFile(src, dir_.Join("dst")));
  EXPECT_EQ(Get(dir_.Join("dst")), "keep me");
  EXPECT_FALSE(env()->CopyFile(dir_.Join("missing"), dir_.Join("t1")));
  EXPECT_FALSE(env()->Exists(dir_.Join("t1")));
  auto held = env()->OpenFile(src, OpenOptions{Access::kRead, Share::kNone, Disposition::kOpenExisting, false});
  EXPECT_FALSE(env()->CopyFile(src, dir_.Join("t2"))) << "the source is held unshared";
  EXPECT_FALSE(env()->Exists(dir_.Join("t2")));
}

TEST(PhysicalMemoryTest, FigureAndCgroupLimits) {
  const uint64_t total = Env::Default()->TotalPhysicalMemory();
  EXPECT_GT(total, 0u);
  EXPECT_LE(total, static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)));

  EXPECT_EQ(ParseCgroupMemoryLimit(" 536870912\n"), uint64_t{536870912});
  for (const char* absurd : {"max\n", "9223372036854771712\n", "0", "", "12ab", "-5", "99999999999999999999999"}) {
    EXPECT_EQ(ParseCgroupMemoryLimit(absurd), std::nullopt) << absurd;
  }
  using V = std::vector<std::string>;
  EXPECT_EQ(CgroupMemoryLimitFiles("0::/a/b\n"),
            (V{"/sys/fs/cgroup/a/b/memory.max", "/sys/fs/cgroup/a/memory.max", "/sys/fs/cgroup/memory.max"}));
  EXPECT_EQ(CgroupMemoryLimitFiles("5:cpu,memory:/x/\n3:cpuset:/\n2:memoryx:/q\ngarbage\n"),
            (V{"/sys/fs/cgroup/memory/x/memory.limit_in_bytes", "/sys/fs/cgroup/memory/memory.limit_in_bytes"}));
}

TEST(EnvMemoryAndLibraryTest, ReserveAndLoad) {
  Env* env = Env::Default();
  const size_t size = size_t{1} << 30;  // address space only
  auto* p = static_cast<unsigned char*>(env->ReserveMemory(size));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[size - 1], 0);
  p[size - 1] = 42;
  env->ReleaseMemory(p, size);

  double (*cosine)(double) = &::cos;
  const std::string dir = env->DirectoryOfLoadedObject(reinterpret_cast<const void*>(cosine));
  ASSERT_TRUE(dir.size() > 1 && dir.front() == '/' && dir.back() == '/') << dir;
  EXPECT_EQ(env->LoadLibrary("libm.so.6"), nullptr) << "relative paths are refused";
  auto lib = env->LoadLibrary(dir + "libm.so.6");
  ASSERT_NE(lib, nullptr);
  EXPECT_NE(lib->Symbol("cos"), nullptr);
  EXPECT_EQ(lib->Symbol("no_such_symbol"), nullptr);
}

}  // namespace
}  // namespace dembase::platform
