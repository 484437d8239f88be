// A PostgreSQL server stopped while a writer runs batch after batch: the calls that follow are
// refused promptly, nothing crashes, and once the server is back every tile holds the bytes
// of one whole batch, the last one committed or the one cut short.
#include <stdio.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_database.h"

namespace dembase::rasterdb::test {
namespace {

constexpr int32_t kDown = 3, kAcross = 4, kTiles = kDown * kAcross;
constexpr uint32_t kTileBytes = 64 * 1024;

// Runs scripts/pg_server.sh with args; its output, or nullopt when it failed.
std::optional<std::string> ServerScript(const std::string& args) {
  FILE* p = popen((std::string(DEMBASE_PG_SERVER_SCRIPT " ") + args).c_str(), "r");
  if (p == nullptr) return std::nullopt;
  std::string out;
  char buf[256];
  for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  return pclose(p) == 0 ? std::optional(out) : std::nullopt;
}

// A server of the test's own (the shared one must outlive the test), removed at the end.
class PrivateServer {
 public:
  PrivateServer() {
    std::istringstream lines(ServerScript("start").value_or(""));
    std::getline(lines, dir_);
    std::getline(lines, conninfo_);
  }
  ~PrivateServer() {
    if (!dir_.empty()) (void)ServerScript("stop " + dir_);
  }
  PrivateServer(const PrivateServer&) = delete;
  PrivateServer& operator=(const PrivateServer&) = delete;
  bool Halt() const { return ServerScript("halt " + dir_).has_value(); }
  bool Resume() const { return ServerScript("resume " + dir_).has_value(); }
  uint32_t Connect() const { return DbConnect(RASTERDB_KIND_POSTGRESQL, conninfo_.c_str(), "", ""); }

 private:
  std::string dir_;
  std::string conninfo_;
};

// The bytes batch gen writes to every tile: the generation in each byte group.
std::vector<uint8_t> Generation(uint32_t gen) {
  std::vector<uint8_t> bytes(kTileBytes);
  for (std::size_t i = 0; i < bytes.size(); i += 4) std::memcpy(&bytes[i], &gen, 4);
  return bytes;
}

class ServerStopTest : public ::testing::TestWithParam<int32_t> {};
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ServerStopTest);
INSTANTIATE_TEST_SUITE_P(RasterDb, ServerStopTest,
                         ::testing::ValuesIn(PgServer().empty() ? std::vector<int32_t>{}
                                                                : std::vector<int32_t>{RASTERDB_KIND_POSTGRESQL}),
                         KindName);

TEST_P(ServerStopTest, BatchesCutShortLeaveEachTileOldOrNew) {
  const PrivateServer server;
  const uint32_t conn = server.Connect();
  ASSERT_NE(conn, 0u);
  DbConnectInfo info{};
  std::strcpy(info.dataSet, "terrain");
  const int32_t layer = MakeLayer(conn, DbOpenDataSet(conn, &info), "dem", kDown, kAcross);
  ASSERT_GE(layer, 1);
  std::vector<TileIndexRec> index(kTiles);
  ASSERT_EQ(DbReadTileIndex(conn, layer, 1, index.data()), 1);

  std::atomic<uint32_t> committed{0};
  std::atomic<bool> cut{false};
  std::thread writer([&] {
    for (uint32_t gen = 1;; ++gen) {
      const std::vector<uint8_t> bytes = Generation(gen);
      const TileIndexRec rec{0, 0, kTileBytes, static_cast<float>(gen), static_cast<float>(gen)};
      bool ok = DbBeginWrite(conn, layer, 1) == 1;
      for (int32_t t = 1; t <= kTiles && ok; ++t) {
        ok =
            DbPutTileData(conn, index[t - 1].offset, bytes.data(), kTileBytes) == 1 && DbPutTileRec(conn, t, &rec) == 1;
      }
      if (DbEndWrite(conn) != 1 || !ok) break;
      committed = gen;
    }
    cut = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (committed < 3 && !cut && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(server.Halt());
  const auto halted = std::chrono::steady_clock::now();
  writer.join();
  ASSERT_GE(committed.load(), 3u) << "the writer failed before the server stopped";
  // Refused at once: the socket is closed, no timeout has to run out.
  TileIndexRec rec{};
  EXPECT_EQ(DbReadTileRec(conn, layer, 1, 1, &rec), 0);
  EXPECT_EQ(DbBeginWrite(conn, layer, 1), 0);
  EXPECT_EQ(DbWriteTileData(conn, layer, index[0].offset, nullptr, 0), 0);
  EXPECT_EQ(server.Connect(), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - halted, std::chrono::seconds(10));
  DbDisconnect(conn);

  ASSERT_TRUE(server.Resume());
  const uint32_t again = server.Connect();
  ASSERT_EQ(DbOpenLayer(again, DbOpenDataSet(again, &info), "dem"), layer);
  PyramidLayerInfo learned{};
  ASSERT_EQ(DbGetLevelInfo(again, layer, 1, &learned), 1);
  ASSERT_EQ(DbReadTileIndex(again, layer, 1, index.data()), 1);
  const float firstMin = index[0].tileMin;  // a packed field: copied, never bound by reference
  const uint32_t gen = static_cast<uint32_t>(firstMin);
  EXPECT_TRUE(gen == committed || gen == committed + 1) << gen << " after " << committed << " committed";
  std::vector<uint8_t> back(kTileBytes);
  for (int32_t t = 1; t <= kTiles; ++t) {
    const TileIndexRec& r = index[t - 1];
    const float tileMin = r.tileMin;
    EXPECT_EQ(tileMin, static_cast<float>(gen)) << t;
    ASSERT_EQ(DbReadTileData(again, layer, r.offset, kTileBytes, back.data()), 1) << t;  // its exact length
    EXPECT_TRUE(back == Generation(gen)) << "tile " << t << " is not of batch " << gen;
  }
  DbDisconnect(again);
}

}  // namespace
}  // namespace dembase::rasterdb::test
