// Two processes on one database: a child forked in the middle of the parent's batch, and a layer
// that another process has open.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_database.h"

namespace dembase::rasterdb::test {
namespace {

class ProcessTest : public ::testing::TestWithParam<int32_t> {
 protected:
  TestDatabase db_{GetParam()};
};
INSTANTIATE_TEST_SUITE_P(RasterDb, ProcessTest, ::testing::ValuesIn(TestKinds()), KindName);

// A child forked now inherits the handle of the running batch; using it would write into the
// parent's transaction, so every call is refused there and the parent's batch commits whole.
TEST_P(ProcessTest, AChildCannotUseTheHandleOfItsParentsBatch) {
  const uint32_t conn = db_.Connect();
  const int32_t layer = MakeLayer(conn, db_.OpenDataSet(conn), "dem", 1, 1);
  TileIndexRec rec{};
  ASSERT_EQ(DbReadTileRec(conn, layer, 1, 1, &rec), 1);
  const uint8_t old_byte = 1, new_byte = 2;
  ASSERT_EQ(DbBeginWrite(conn, layer, 1), 1);
  ASSERT_EQ(DbPutTileData(conn, rec.offset, &new_byte, 1), 1);
  const pid_t heir = fork();
  ASSERT_GE(heir, 0);
  if (heir == 0) _exit(DbPutTileData(conn, rec.offset, &old_byte, 1) == 0 && DbEndWrite(conn) == 0 ? 0 : 1);
  int status = 0;
  ASSERT_EQ(waitpid(heir, &status, 0), heir);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(DbEndWrite(conn), 1);
  uint8_t back = 0;
  EXPECT_EQ(DbReadTileData(conn, layer, rec.offset, 1, &back), 1);
  EXPECT_EQ(back, new_byte);
  DbDisconnect(conn);
}

// A layer open in another connection, of this process or another, is not deleted; it is
// once they let it go, even by dying.
TEST_P(ProcessTest, ALayerOpenElsewhereIsNotDeleted) {
  const uint32_t conn = db_.Connect();
  const int32_t ds = db_.OpenDataSet(conn);
  for (const char* name : {"a", "b"}) ASSERT_GE(MakeLayer(conn, ds, name), 1);
  const uint32_t other = db_.Connect();
  ASSERT_GE(DbOpenLayer(other, db_.OpenDataSet(other), "a"), 1);
  EXPECT_EQ(DbDeleteLayer(conn, ds, "a"), 0) << "open in another connection of this process";
  DbDisconnect(other);
  EXPECT_EQ(DbDeleteLayer(conn, ds, "a"), 1);

  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const uint32_t mine = db_.Connect();
    const uint8_t opened = DbOpenLayer(mine, db_.OpenDataSet(mine), "b") >= 1 ? 1 : 0;
    if (write(ready[1], &opened, 1) == 1) pause();  // held until killed
    _exit(1);
  }
  uint8_t opened = 0;
  ASSERT_EQ(read(ready[0], &opened, 1), 1);
  EXPECT_EQ(opened, 1);
  EXPECT_EQ(DbDeleteLayer(conn, ds, "b"), 0) << "open in another process";
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(DbDeleteLayer(conn, ds, "b"), 1) << "its opener died";
  close(ready[0]);
  close(ready[1]);
  DbDisconnect(conn);
}

}  // namespace
}  // namespace dembase::rasterdb::test
