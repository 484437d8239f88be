#include "bench/db_tiles.h"

#include <chrono>
#include <cmath>
#include <cstring>

#include "dembase/rasterdb.h"

namespace dembase::bench {
namespace {

constexpr int kEdge = 256;
using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

}  // namespace

std::vector<uint8_t> TerrainTile(int seed) {
  std::vector<uint8_t> bytes(kDbTileBytes);
  uint32_t noise = 2463534242u + static_cast<uint32_t>(seed);
  for (int r = 0; r < kEdge; ++r) {
    for (int c = 0; c < kEdge; ++c) {
      noise ^= noise << 13;
      noise ^= noise >> 17;
      noise ^= noise << 5;
      const double h = 800 + 300 * std::sin((r + seed * 255) / 40.0) * std::cos(c / 55.0) + (noise % 7);
      const auto cell = static_cast<int32_t>(h);
      std::memcpy(&bytes[static_cast<std::size_t>((r * kEdge + c) * 4)], &cell, 4);
    }
  }
  return bytes;
}

DbTiles::DbTiles(int32_t connectKind, const std::string& connectArg, const std::string& name, int tiles) {
  conn_ = DbConnect(connectKind, connectArg.c_str(), "", "");
  DbConnectInfo info{};
  std::strcpy(info.dataSet, "bench");
  ds_ = conn_ != 0 ? DbOpenDataSet(conn_, &info) : 0;
  DataLayerParam p{};
  p.dataType = DEMBASE_TYPE_INT32;
  p.xMax = 255.0 * tiles;
  p.yMax = 255.0;
  p.cellSizeX = p.cellSizeY = 1.0;
  if (ds_ >= 1) (void)DbDeleteLayer(conn_, ds_, name.c_str());
  if (ds_ < 1 || DbCreateLayer(conn_, ds_, name.c_str(), &p, 0) != 1) return;
  const int32_t layer = DbOpenLayer(conn_, ds_, name.c_str());
  PyramidLayerInfo level{};
  level.cellSizeX = level.cellSizeY = 1.0;
  level.rows = 256;
  level.cols = 255 * tiles + 1;
  level.tileRows = level.tileCols = 256;
  level.tilesDown = 1;
  level.tilesAcross = tiles;
  index_.resize(static_cast<std::size_t>(tiles));
  if (layer < 1 || DbCreateLevel(conn_, layer, 1, &level) != 1 || DbGetLevelInfo(conn_, layer, 1, &level) != 1 ||
      DbReadTileIndex(conn_, layer, 1, index_.data()) != 1) {
    return;
  }
  layer_ = layer;
}

DbTiles::~DbTiles() {
  if (conn_ != 0) DbDisconnect(conn_);
}

double DbTiles::WriteAll(const std::vector<std::vector<uint8_t>>& payloads, bool packed, bool batch) {
  const auto start = Clock::now();
  if (batch && DbBeginWrite(conn_, layer_, 1) != 1) return -1;
  bool ok = true;
  for (std::size_t t = 0; t < index_.size() && ok; ++t) {
    const std::vector<uint8_t>& bytes = payloads[t % payloads.size()];
    const auto size = static_cast<uint32_t>(bytes.size());
    const TileIndexRec rec{0, static_cast<uint8_t>(packed ? 1 : 0), size, 500.0f, 1100.0f};
    const uint32_t key = index_[t].offset;
    const auto n = static_cast<int32_t>(t) + 1;
    ok = batch ? DbPutTileData(conn_, key, bytes.data(), size) == 1 && DbPutTileRec(conn_, n, &rec) == 1
               : DbWriteTileData(conn_, layer_, key, bytes.data(), size) == 1 &&
                     DbWriteTileRec(conn_, layer_, 1, n, &rec) == 1;
  }
  if (batch) ok = DbEndWrite(conn_) == 1 && ok;
  return ok ? Since(start) : -1;
}

double DbTiles::ReadAll() {
  std::vector<uint8_t> buffer(2 * kDbTileBytes);
  const auto start = Clock::now();
  for (std::size_t t = 0; t < index_.size(); ++t) {
    TileIndexRec rec{};
    if (DbReadTileRec(conn_, layer_, 1, static_cast<int32_t>(t) + 1, &rec) != 1 || rec.storedSize > buffer.size() ||
        DbReadTileData(conn_, layer_, rec.offset, rec.storedSize, buffer.data()) != 1) {
      return -1;
    }
  }
  return Since(start);
}

}  // namespace dembase::bench
