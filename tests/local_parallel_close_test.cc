// A level close compresses on several cores; the files it leaves must be exactly those a
// one-thread close leaves.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "localstore/open_level.h"
#include "tests/support/layer_files.h"
#include "tests/support/local_store_fixture.h"

namespace dembase::testing {
namespace {

class ParallelCloseTest : public LocalStoreTest {
 protected:
  void TearDown() override {
    SetFlushWorkersForTesting(0);
    LocalStoreTest::TearDown();
  }

  // Writes the same seeded cells (some tiles written twice, so some payloads move) and
  // closes with the given number of workers.
  void WriteAndClose(const std::string& name, unsigned workers) {
    SetFlushWorkersForTesting(workers);
    const int32_t id = CreateAndOpen(name + ".dem", DEMBASE_TYPE_FLOAT32, 1200, 1300);
    ASSERT_GE(id, 1);
    std::mt19937 rng(42);
    for (int pass = 0; pass < 2; ++pass) {
      for (int i = 0; i < 40000; ++i) {
        const int32_t r = static_cast<int32_t>(rng() % 1200), c = static_cast<int32_t>(rng() % 1300);
        ASSERT_EQ(_hxSetCell(h_, kLocal, id, 1, 0, r, c, r * 0.25 + c + pass * 1000.0 + (rng() % 97)), 1);
      }
      ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
      ASSERT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, 1), 1);
    }
    ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
    ASSERT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
  }
};

TEST_F(ParallelCloseTest, FilesMatchAOneThreadClose) {
  WriteAndClose("one", 1);
  WriteAndClose("four", 4);
  EXPECT_EQ(ReadFileBytes(Path("one/one.Dem")), ReadFileBytes(Path("four/four.Dem")));
  EXPECT_EQ(ReadFileBytes(Path("one/one.Hdr")), ReadFileBytes(Path("four/four.Hdr")));
  EXPECT_GT(FileSize(Path("one/one.Dem")), 0);
}

}  // namespace
}  // namespace dembase::testing
