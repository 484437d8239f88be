#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/env.h"
#include "platform/physical_memory.h"
#include "platform/test_temp_dir.h"

namespace dembase::platform {
namespace {

constexpr Access R = Access::kRead, W = Access::kWrite, RW = Access::kReadWrite;
constexpr Share kNone = Share::kNone, kR = Share::kRead, kRW = Share::kReadWrite;
constexpr Disposition kExisting = Disposition::kOpenExisting, kNew = Disposition::kCreateNew;
constexpr Disposition kAlways = Disposition::kCreateAlways;

std::span<const std::byte> Bytes(const std::string& s) { return std::as_bytes(std::span(s.data(), s.size())); }
std::span<std::byte> Out(std::string& s) { return std::as_writable_bytes(std::span(s.data(), s.size())); }

std::unique_ptr<File> Open(const std::string& path, Access a, Share s = kR, Disposition d = kExisting) {
  return Env::Default()->OpenFile(path, OpenOptions{a, s, d, false});
}

bool Put(const std::string& path, const std::string& contents) {
  auto f = Open(path, W, kR, kAlways);
  return f != nullptr && f->WriteAt(0, Bytes(contents));
}

std::optional<std::string> Get(const std::string& path) {
  auto f = Open(path, R);
  uint64_t size = 0;
  if (f == nullptr || !f->Size(&size)) return std::nullopt;
  std::string out(size, '\0');
  return f->ReadAt(0, Out(out)) ? std::optional(out) : std::nullopt;
}

// Holds a small file for the share-mode tests.
class EnvPosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    auto f = Open(path_, W, kNone, kNew);
    ASSERT_TRUE(f != nullptr && f->WriteAt(0, Bytes("DEM_INFO")));
  }
  Env* env() { return Env::Default(); }
  TestTempDir dir_;
  std::string path_ = dir_.Join("layer.dem");
};
using ShareModeTest = EnvPosixTest;

// Plain reads, writes, directories and successful renames and copies are what every layer test
// runs on; here the refusals and the edges the stores rely on.
TEST_F(EnvPosixTest, PartialIoDispositionsAccessAndPaths) {
  auto f = Open(dir_.Join("f"), RW, kR, kNew);
  ASSERT_NE(f, nullptr);
  ASSERT_TRUE(f->WriteAt(0, Bytes("abcd")) && f->WriteAt(100, Bytes("wxyz")) && f->Sync());
  std::string got(4, '?');
  for (uint64_t at : {uint64_t{102}, uint64_t{104}, uint64_t{1} << 63}) EXPECT_FALSE(f->ReadAt(at, Out(got))) << at;

  const std::string path = dir_.Join("d");
  ASSERT_TRUE(Put(path, "old contents"));
  EXPECT_EQ(Open(path, W, kR, kNew), nullptr);
  EXPECT_EQ(Get(path), "old contents");
  EXPECT_FALSE(Open(path, R)->WriteAt(0, Bytes("x")));
  EXPECT_FALSE(Open(path, W)->ReadAt(0, Out(got)));
  ASSERT_TRUE(Put(path, "new"));
  EXPECT_EQ(Get(path), "new") << "kCreateAlways truncates";
  EXPECT_EQ(Open(dir_.Join("a") + std::string(1, '\0') + "b", W, kR, kAlways), nullptr);
  EXPECT_FALSE(env()->Exists(dir_.Join("a"))) << "a NUL must not shorten the path";
  EXPECT_EQ(Open(dir_.path(), R), nullptr) << "a directory";
  ASSERT_EQ(mkfifo(dir_.Join("fifo").c_str(), 0600), 0);
  EXPECT_EQ(Open(dir_.Join("fifo"), R), nullptr) << "and no hang";
}

// Renames, links and copies never replace a target; a failed copy leaves none.
TEST_F(EnvPosixTest, RenamesLinksAndCopiesNeverReplace) {
  const std::string a = dir_.Join("a"), b = dir_.Join("b"), e = dir_.Join("e");
  ASSERT_TRUE(Put(a, "A") && Put(b, "B") && env()->CreateDir(dir_.Join("d1")));
  EXPECT_FALSE(env()->Rename(a, b));
  EXPECT_FALSE(env()->Rename(dir_.Join("d1"), b));
  EXPECT_EQ(Get(a), "A");
  EXPECT_EQ(Get(b), "B");
  ASSERT_TRUE(env()->LinkFile(b, e));
  EXPECT_FALSE(env()->LinkFile(a, e));
  EXPECT_EQ(Get(e), "B");

  EXPECT_FALSE(env()->CopyFile(a, b));
  EXPECT_EQ(Get(b), "B");
  EXPECT_FALSE(env()->CopyFile(dir_.Join("missing"), dir_.Join("t1")));
  EXPECT_FALSE(env()->Exists(dir_.Join("t1")));
  auto held = Open(a, R, kNone);
  EXPECT_FALSE(env()->CopyFile(a, dir_.Join("t2"))) << "the source is held unshared";
  EXPECT_FALSE(env()->Exists(dir_.Join("t2")));
}

// Loading the value-table library is covered by the tool and VAT tests.
TEST(EnvMemoryAndLibraryTest, FigureCgroupLimitsReserveAndLoad) {
  Env* env = Env::Default();
  const uint64_t total = env->TotalPhysicalMemory();
  EXPECT_GT(total, 0u);
  EXPECT_LE(total, static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)));
  // The process's own limit lowers the figure, never raises it; garbage is ignored.
  for (const auto& [limit, want] : {std::pair{"544000000", std::min<uint64_t>(total, 544000000)},
                                    std::pair{"99999999999999999", total}, std::pair{"lots", total}}) {
    ASSERT_EQ(setenv("DEMBASE_MEMORY_LIMIT", limit, 1), 0);
    EXPECT_EQ(env->TotalPhysicalMemory(), want) << limit;
  }
  ASSERT_EQ(unsetenv("DEMBASE_MEMORY_LIMIT"), 0);
  EXPECT_EQ(ParseCgroupMemoryLimit(" 536870912\n"), uint64_t{536870912});
  for (const char* absurd : {"max\n", "9223372036854771712\n", "0", "12ab", "-5", "99999999999999999999999"}) {
    EXPECT_EQ(ParseCgroupMemoryLimit(absurd), std::nullopt) << absurd;
  }
  using V = std::vector<std::string>;
  EXPECT_EQ(CgroupMemoryLimitFiles("0::/a/b\n"),
            (V{"/sys/fs/cgroup/a/b/memory.max", "/sys/fs/cgroup/a/memory.max", "/sys/fs/cgroup/memory.max"}));
  EXPECT_EQ(CgroupMemoryLimitFiles("5:cpu,memory:/x/\n3:cpuset:/\n2:memoryx:/q\ngarbage\n"),
            (V{"/sys/fs/cgroup/memory/x/memory.limit_in_bytes", "/sys/fs/cgroup/memory/memory.limit_in_bytes"}));

  const size_t size = size_t{1} << 30;  // address space only
  void* p = env->ReserveMemory(size);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % (size_t{2} << 20), 0u) << "huge pages need an aligned start";
  static_cast<uint8_t*>(p)[size - 1] = 7;
  env->ReleaseMemory(p, size);
  // A released range serves the next reservation of its size, and of no other.
  void* other = env->ReserveMemory(size / 2);
  void* again = env->ReserveMemory(size);
  ASSERT_NE(other, nullptr);
  EXPECT_NE(other, p);
  ASSERT_EQ(again, p);
  static_cast<uint8_t*>(again)[size - 1] = 8;
  env->ReleaseMemory(other, size / 2);
  env->ReleaseMemory(again, size);
  EXPECT_EQ(env->LoadLibrary("libm.so.6"), nullptr) << "relative paths are refused";
}

// The second open fails when it needs what the first denies, or the first holds what the second denies.
TEST_F(ShareModeTest, SecondOpenInTheSameProcess) {
  const struct {
    Access a1;
    Share s1;
    Access a2;
    Share s2;
    bool second_opens;
  } cases[] = {
      {R, kNone, R, kRW, false}, {R, kR, W, kRW, false}, {R, kRW, R, kNone, false},
      {W, kRW, R, kR, false},    {R, kR, R, kR, true},   {R, kRW, W, kRW, true},
      {W, kRW, W, kRW, true},    {W, kR, R, kRW, true},  {RW, kRW, RW, kRW, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.a1) << "/" << int(c.s1) << " then " << int(c.a2) << "/" << int(c.s2));
    auto first = Open(path_, c.a1, c.s1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Open(path_, c.a2, c.s2) != nullptr, c.second_opens);
    first.reset();
    EXPECT_NE(Open(path_, c.a2, c.s2), nullptr) << "closing lifts the share mode";
  }
  auto holder = Open(path_, R, kR);
  EXPECT_EQ(Open(path_, W, kRW, kAlways), nullptr);
  EXPECT_EQ(Get(path_)->size(), 8u) << "create-always must not truncate a protected file";
}

TEST_F(ShareModeTest, RacingConflictingOpensNeverBothSucceed) {
  constexpr int kRounds = 200;
  int winners_total = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::barrier sync(2);
    std::atomic<int> winners{0};
    auto racer = [&] {
      sync.arrive_and_wait();
      auto f = Open(path_, RW, kNone);
      if (f != nullptr) ++winners;
      sync.arrive_and_wait();  // hold until both have tried
    };
    std::thread t1(racer), t2(racer);
    t1.join();
    t2.join();
    ASSERT_LE(winners.load(), 1) << "round " << round;
    winners_total += winners.load();
  }
  EXPECT_GT(winners_total, kRounds / 2) << "a race should usually have a winner";
}

}  // namespace
}  // namespace dembase::platform
