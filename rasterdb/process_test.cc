// Two processes on one database: a reader in a child process while the parent's batch runs,
// and a layer that another process has open.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "test_database.h"

namespace dembase::rasterdb::test {
namespace {

class ProcessTest : public ::testing::TestWithParam<int32_t> {
 protected:
  TestDatabase db_{GetParam()};
};
INSTANTIATE_TEST_SUITE_P(RasterDb, ProcessTest, ::testing::ValuesIn(TestKinds()), KindName);

// The child, forked before the parent connects so that it inherits no database state: for each
// byte v asked, a fresh connection reads tile 1 of layer "dem" and answers whether it holds v.
[[noreturn]] void ServeReads(const TestDatabase& db, int requests, int answers) {
  uint8_t expected = 0;
  while (read(requests, &expected, 1) == 1) {
    const uint32_t conn = db.Connect();
    const int32_t layer = DbOpenLayer(conn, db.OpenDataSet(conn), "dem");
    TileIndexRec rec{};
    uint8_t back = 0;
    const uint8_t ok = DbReadTileRec(conn, layer, 1, 1, &rec) == 1 &&
                       DbReadTileData(conn, layer, rec.offset, 1, &back) == 1 && back == expected;
    DbDisconnect(conn);
    if (write(answers, &ok, 1) != 1) break;
  }
  _exit(0);  // no parent destructor may run twice
}

TEST_P(ProcessTest, ReaderInAnotherProcessIsNotBlockedByABatch) {
  int to_child[2], from_child[2];
  ASSERT_TRUE(pipe(to_child) == 0 && pipe(from_child) == 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(to_child[1]);  // or the child would never see end of file
    ServeReads(db_, to_child[0], from_child[1]);
  }
  close(to_child[0]);
  close(from_child[1]);
  const auto child_reads = [&](uint8_t value) {
    uint8_t answer = 0;
    return write(to_child[1], &value, 1) == 1 && read(from_child[0], &answer, 1) == 1 && answer == 1;
  };
  const uint32_t conn = db_.Connect();
  const int32_t layer = MakeLayer(conn, db_.OpenDataSet(conn), "dem", 1, 1);
  TileIndexRec rec{};
  ASSERT_EQ(DbReadTileRec(conn, layer, 1, 1, &rec), 1);
  const uint8_t old_byte = 1, new_byte = 2;
  ASSERT_EQ(DbWriteTileData(conn, layer, rec.offset, &old_byte, 1), 1);

  ASSERT_EQ(DbBeginWrite(conn, layer, 1), 1);
  ASSERT_EQ(DbPutTileData(conn, rec.offset, &new_byte, 1), 1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(child_reads(old_byte));  // the committed byte, while the batch holds the write lock
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));  // busy timeout is 5 s
  // A child forked now inherits the handle of the running batch but cannot use it.
  const pid_t heir = fork();
  ASSERT_GE(heir, 0);
  if (heir == 0) _exit(DbPutTileData(conn, rec.offset, &old_byte, 1) == 0 && DbEndWrite(conn) == 0 ? 0 : 1);
  int status = 0;
  ASSERT_EQ(waitpid(heir, &status, 0), heir);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(DbEndWrite(conn), 1);
  EXPECT_TRUE(child_reads(new_byte));
  close(to_child[1]);  // the child sees end of file and exits
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  close(from_child[0]);
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
