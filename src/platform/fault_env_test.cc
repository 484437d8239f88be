#include "platform/fault_env.h"

#include <string>

#include <gtest/gtest.h>

#include "platform/test_temp_dir.h"

namespace dembase::platform {
namespace {

std::span<const std::byte> Bytes(const std::string& s) { return std::as_bytes(std::span(s.data(), s.size())); }
std::span<std::byte> Out(std::string& s) { return std::as_writable_bytes(std::span(s.data(), s.size())); }
constexpr OpenOptions kCreate{Access::kReadWrite, Share::kNone, Disposition::kCreateNew, false};

class FaultEnvTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }

  // Open, write, sync, read, rename: returns how many succeeded, stopping at a failure.
  int RunSequence() {
    (void)Env::Default()->RemoveFile(dir_.Join("a"));
    (void)Env::Default()->RemoveFile(dir_.Join("b"));
    auto f = env_.OpenFile(dir_.Join("a"), kCreate);
    std::string got(5, '\0');
    if (f == nullptr) return 0;
    if (!f->WriteAt(0, Bytes("hello"))) return 1;
    if (!f->Sync()) return 2;
    if (!f->ReadAt(0, Out(got))) return 3;
    f.reset();
    return env_.Rename(dir_.Join("a"), dir_.Join("b")) ? 5 : 4;
  }

  TestTempDir dir_;
  FaultEnv env_{Env::Default()};
};

TEST_F(FaultEnvTest, FailsTheNthOperationThenNoneOrAll) {
  for (int n = 1; n <= 6; ++n) {
    env_.FailOperation(n);
    EXPECT_EQ(RunSequence(), n - 1) << "n=" << n;
    EXPECT_EQ(env_.fault_fired(), n <= 5) << "the loop ends when no fault fires";
    EXPECT_EQ(env_.CreateDir(dir_.Join("after" + std::to_string(n))), n <= 5) << "later calls pass";
  }
  env_.FailOperation(2, /*persistent=*/true);
  EXPECT_EQ(RunSequence(), 1);
  EXPECT_FALSE(env_.CopyFile(dir_.Join("a"), dir_.Join("c")));
  env_.ClearFaults();
  EXPECT_EQ(RunSequence(), 5);
}

// The read-fault and memory switches are exercised by the tests that rely on them (tile cache
// setup, failed reads in the fault tests); a torn write and a leaked override are silent there.
TEST_F(FaultEnvTest, TornWriteStoresTheFirstHalfAndOverridesEnd) {
  auto f = env_.OpenFile(dir_.Join("torn"), kCreate);
  ASSERT_NE(f, nullptr);
  env_.SetTornWrites(true);
  env_.FailOperation(1);
  EXPECT_FALSE(f->WriteAt(0, Bytes("0123456789")));
  std::string got(6, '\0');
  EXPECT_FALSE(f->ReadAt(0, Out(got))) << "only the first half was stored";
  got.resize(5);
  ASSERT_TRUE(f->ReadAt(0, Out(got)));
  EXPECT_EQ(got, "01234");
  {
    ScopedEnvOverride use(&env_);
    EXPECT_EQ(CurrentEnv(), &env_);
  }
  EXPECT_EQ(CurrentEnv(), Env::Default()) << "the override ends with its scope";
}

}  // namespace
}  // namespace dembase::platform
