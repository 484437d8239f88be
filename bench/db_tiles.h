// Tile writes and reads straight through librasterdb: one layer of a row of 256 x 256 int32
// tiles in data set "bench", each tile stored with its record, outside or inside a batch.
#ifndef DEMBASE_BENCH_DB_TILES_H_
#define DEMBASE_BENCH_DB_TILES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "dembase/dembase.h"

namespace dembase::bench {

inline constexpr uint32_t kDbTileBytes = 256 * 256 * 4;

// A smooth terrain with some roughness, as int32 cells: compresses about as real DEM tiles do.
std::vector<uint8_t> TerrainTile(int seed);

class DbTiles {
 public:
  // Connects (connectKind and connectArg as DbConnect takes them) and makes layer `name` with
  // `tiles` tiles, anew when it exists; ok() tells whether all of it succeeded.
  DbTiles(int32_t connectKind, const std::string& connectArg, const std::string& name, int tiles);
  ~DbTiles();
  DbTiles(const DbTiles&) = delete;
  DbTiles& operator=(const DbTiles&) = delete;
  bool ok() const { return layer_ > 0; }

  // Seconds to store every tile (payloads in turn) with its record; negative on any refusal.
  double WriteAll(const std::vector<std::vector<uint8_t>>& payloads, bool packed, bool batch);
  // Seconds to read every tile's record and bytes back; negative on any refusal.
  double ReadAll();

 private:
  uint32_t conn_ = 0;
  int32_t ds_ = 0;
  int32_t layer_ = 0;
  std::vector<TileIndexRec> index_;
};

}  // namespace dembase::bench

#endif  // DEMBASE_BENCH_DB_TILES_H_
