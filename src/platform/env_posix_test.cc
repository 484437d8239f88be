#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <cmath>
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

class EnvPosixTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
  Env* env() { return Env::Default(); }
  TestTempDir dir_;
};

TEST_F(EnvPosixTest, PositionedIoDispositionsAccessAndPaths) {
  auto f = Open(dir_.Join("f"), RW, kR, kNew);
  ASSERT_NE(f, nullptr);
  ASSERT_TRUE(f->WriteAt(0, Bytes("abcd")) && f->WriteAt(100, Bytes("wxyz")) && f->Sync());
  uint64_t size = 0;
  ASSERT_TRUE(f->Size(&size));
  EXPECT_EQ(size, 104u);
  std::string got(4, '?');
  ASSERT_TRUE(f->ReadAt(100, Out(got)));
  EXPECT_EQ(got, "wxyz");
  for (uint64_t at : {uint64_t{102}, uint64_t{104}, uint64_t{1} << 63}) EXPECT_FALSE(f->ReadAt(at, Out(got))) << at;

  const std::string path = dir_.Join("d");
  EXPECT_EQ(Open(path, R), nullptr);
  ASSERT_TRUE(Put(path, "old contents"));
  EXPECT_EQ(Open(path, W, kR, kNew), nullptr);
  EXPECT_EQ(Get(path), "old contents");
  EXPECT_FALSE(Open(path, R)->WriteAt(0, Bytes("x")));
  std::string b(1, '\0');
  EXPECT_FALSE(Open(path, W)->ReadAt(0, Out(b)));
  ASSERT_TRUE(Put(path, "new"));
  EXPECT_EQ(Get(path), "new") << "kCreateAlways truncates";
  std::string stored = path;  // stored paths use '\'
  stored[stored.rfind('/')] = '\\';
  EXPECT_EQ(Get(stored), "new");
  EXPECT_EQ(Open(dir_.Join("a") + std::string(1, '\0') + "b", W, kR, kAlways), nullptr);
  EXPECT_FALSE(env()->Exists(dir_.Join("a"))) << "a NUL must not shorten the path";
  EXPECT_EQ(Open(dir_.path(), R), nullptr) << "a directory";
  ASSERT_EQ(mkfifo(dir_.Join("fifo").c_str(), 0600), 0);
  EXPECT_EQ(Open(dir_.Join("fifo"), R), nullptr) << "and no hang";
}

TEST_F(EnvPosixTest, DirectoriesRenamesLinksAndCopies) {
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

  const std::string a = dir_.Join("a"), b = dir_.Join("b"), c = dir_.Join("c"), e = dir_.Join("e");
  ASSERT_TRUE(Put(a, "A") && Put(b, "B") && env()->CreateDir(dir_.Join("d1")));
  EXPECT_FALSE(env()->Rename(a, b));
  EXPECT_FALSE(env()->Rename(dir_.Join("d1"), b));
  EXPECT_EQ(Get(a), "A");
  EXPECT_EQ(Get(b), "B");
  EXPECT_TRUE(env()->Rename(dir_.Join("d1"), dir_.Join("d2")));
  ASSERT_TRUE(env()->Rename(a, c));
  EXPECT_EQ(Get(c), "A");
  ASSERT_TRUE(env()->ReplaceFile(c, b));
  EXPECT_EQ(Get(b), "A");
  EXPECT_FALSE(env()->LinkFile(dir_.Join("missing"), e));
  ASSERT_TRUE(env()->LinkFile(b, e));
  EXPECT_FALSE(env()->LinkFile(b, e));
  ASSERT_TRUE(Put(e, "E"));
  EXPECT_EQ(Get(b), "E") << "one file under two names";

  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7919 >> 5);
  const std::string src = dir_.Join("src"), dst = dir_.Join("dst");
  ASSERT_TRUE(Put(src, big));
  ASSERT_TRUE(env()->CopyFile(src, dst));
  EXPECT_EQ(Get(dst), big);
  ASSERT_TRUE(Put(dst, "keep me"));
  EXPECT_FALSE(env()->CopyFile(src, dst));
  EXPECT_EQ(Get(dst), "keep me");
  EXPECT_FALSE(env()->CopyFile(dir_.Join("missing"), dir_.Join("t1")));
  EXPECT_FALSE(env()->Exists(dir_.Join("t1")));
  auto held = Open(src, R, kNone);
  EXPECT_FALSE(env()->CopyFile(src, dir_.Join("t2"))) << "the source is held unshared";
  EXPECT_FALSE(env()->Exists(dir_.Join("t2")));
}

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
  for (const char* absurd : {"max\n", "9223372036854771712\n", "0", "", "12ab", "-5", "99999999999999999999999"}) {
    EXPECT_EQ(ParseCgroupMemoryLimit(absurd), std::nullopt) << absurd;
  }
  using V = std::vector<std::string>;
  EXPECT_EQ(CgroupMemoryLimitFiles("0::/a/b\n"),
            (V{"/sys/fs/cgroup/a/b/memory.max", "/sys/fs/cgroup/a/memory.max", "/sys/fs/cgroup/memory.max"}));
  EXPECT_EQ(CgroupMemoryLimitFiles("5:cpu,memory:/x/\n3:cpuset:/\n2:memoryx:/q\ngarbage\n"),
            (V{"/sys/fs/cgroup/memory/x/memory.limit_in_bytes", "/sys/fs/cgroup/memory/memory.limit_in_bytes"}));

  const size_t size = size_t{1} << 30;  // address space only
  auto* p = static_cast<unsigned char*>(env->ReserveMemory(size));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % (size_t{2} << 20), 0u) << "huge pages need an aligned start";
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

class ShareModeTest : public EnvPosixTest {
 protected:
  void SetUp() override {
    EnvPosixTest::SetUp();
    auto f = Open(path_, W, kNone, kNew);
    ASSERT_TRUE(f != nullptr && f->WriteAt(0, Bytes("DEM_INFO")));
  }
  std::string path_ = dir_.Join("layer.dem");
};

// The second open fails when it needs what the first denies, or the first holds what the second denies.
TEST_F(ShareModeTest, SecondOpenInTheSameProcess) {
  const struct {
    Access a1;
    Share s1;
    Access a2;
    Share s2;
    bool second_opens;
  } cases[] = {
      {R, kNone, R, kRW, false}, {R, kR, R, kR, true},     {R, kR, W, kRW, false},    {R, kR, RW, kRW, false},
      {R, kRW, W, kRW, true},    {R, kRW, RW, kR, true},   {R, kRW, R, kNone, false}, {W, kRW, R, kR, false},
      {W, kRW, W, kRW, true},    {W, kR, W, kRW, false},   {W, kR, R, kRW, true},     {RW, kR, R, kRW, true},
      {RW, kR, R, kR, false},    {RW, kRW, RW, kRW, true}, {W, kNone, R, kRW, false},
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

TEST_F(ShareModeTest, AcrossProcesses) {
  auto in_child = [](auto body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  auto held = Open(path_, RW, kNone);
  EXPECT_EQ(in_child([&] { return Open(path_, R, kRW) == nullptr ? 0 : 1; }), 0) << "parent holds, child refused";
  held.reset();
  held = Open(path_, R, kR);
  EXPECT_EQ(in_child([&] { return Open(path_, R, kR) != nullptr ? 0 : 1; }), 0) << "compatible modes";
  held.reset();

  int up[2], down[2];
  ASSERT_TRUE(pipe(up) == 0 && pipe(down) == 0);
  const pid_t pid = fork();
  if (pid == 0) {
    auto child_held = Open(path_, RW, kNone);
    char go = child_held != nullptr ? 'y' : 'n';
    _exit(write(up[1], &go, 1) == 1 && read(down[0], &go, 1) == 1 ? 0 : 1);
  }
  char ok = 0;
  ASSERT_EQ(read(up[0], &ok, 1), 1);
  EXPECT_EQ(ok, 'y');
  EXPECT_EQ(Open(path_, R, kRW), nullptr) << "child holds, parent refused";
  ASSERT_EQ(write(down[1], "g", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_NE(Open(path_, R, kRW), nullptr) << "the child's exit released its hold";
  for (int fd : {up[0], up[1], down[0], down[1]}) close(fd);
}

}  // namespace
}  // namespace dembase::platform
