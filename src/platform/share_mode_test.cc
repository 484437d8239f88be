#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <thread>

#include <gtest/gtest.h>

#include "platform/env.h"
#include "platform/test_temp_dir.h"

namespace dembase::platform {
namespace {

constexpr Access R = Access::kRead, W = Access::kWrite, RW = Access::kReadWrite;
constexpr Share kNone = Share::kNone, kR = Share::kRead, kRW = Share::kReadWrite;

std::unique_ptr<File> Open(const std::string& path, Access a, Share s, Disposition d = Disposition::kOpenExisting) {
  return Env::Default()->OpenFile(path, OpenOptions{a, s, d, false});
}

class ShareModeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    auto f = Open(path_, W, kNone, Disposition::kCreateNew);
    ASSERT_TRUE(f != nullptr && f->WriteAt(0, std::as_bytes(std::span("DEM_INFO", 9))));
  }
  TestTempDir dir_;
  std::string path_ = dir_.Join("layer.dem");
};

// The second open fails when it needs what the first denies, or the first holds what
// the second denies.
TEST_F(ShareModeTest, SecondOpenInTheSameProcess) {
  struct Case {
    Access a1;
    Share s1;
    Access a2;
    Share s2;
    bool second_opens;
  } cases[] = {
      {R, kNone, R, kRW, false}, {R, kR, R, kR, true},       {R, kR, W, kRW, false},   {R, kR, RW, kRW, false},
      {R, kRW, W, kRW, true},    {R, kRW, RW, kR, true},     {R, kRW, R, kNone, false}, {W, kRW, R, kR, false},
      {W, kRW, W, kRW, true},    {W, kR, W, kRW, false},     {W, kR, R, kRW, true},     {RW, kR, R, kRW, true},
      {RW, kR, R, kR, false},    {RW, kRW, RW, kRW, true},   {W, kNone, R, kRW, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.a1) << "/" << int(c.s1) << " then " << int(c.a2) << "/" << int(c.s2));
    auto first = Open(path_, c.a1, c.s1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Open(path_, c.a2, c.s2) != nullptr, c.second_opens);
    first.reset();
    EXPECT_NE(Open(path_, c.a2, c.s2), nullptr) << "closing lifts the share mode";
  }
}

TEST_F(ShareModeTest, CreateAlwaysDoesNotTruncateAProtectedFile) {
  auto holder = Open(path_, R, kR);
  EXPECT_EQ(Open(path_, W, kRW, Disposition::kCreateAlways), nullptr);
  uint64_t size = 0;
  ASSERT_TRUE(holder->Size(&size));
  EXPECT_EQ(size, 9u);
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
