// The workloads on the store, through the exports of dembase.h, on a float layer holding
// the DEM as level 1, in local files or in an SQLite data set. Each call answers seconds, or a negative figure when a
// call failed (and says which on stderr). A Store holds one handle with the local store
// open and a tile cache of a chosen size; the cache lives as long as the Store.
//
// The library sizes its cache as a fraction of physical memory, clamped to 1/8 .. 1/2
// of it, so no fraction asks for a cache smaller than the level on this machine. A
// Store therefore sets DEMBASE_MEMORY_LIMIT to 8 x the cache wanted for its whole
// life, as an application would: Stores of different sizes must not overlap. A cache
// over 1/8 of physical memory takes a larger fraction instead (the library lowers a limit
// above the machine's memory to it); one over 1/2 fails, as the library cannot give it.
#ifndef DEMBASE_BENCH_DEMBASE_SIDE_H_
#define DEMBASE_BENCH_DEMBASE_SIDE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench/dem_grid.h"
#include "bench/harness.h"
#include "dembase/dembase.h"

namespace dembase::bench {

class Store {
 public:
  // database: the layers live in data set "bench" of that raster database (connectArg1 of
  // connectKind) instead of in local files; layer names are then plain names, not header paths.
  explicit Store(uint64_t cacheBytes, const std::string& database = "", int32_t connectKind = 1);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  bool ok() const { return h_ != nullptr; }
  DemBaseAI* handle() const { return h_; }

  // Creates the layer (header path) for a side x side float grid, level 1 empty.
  bool CreateLayer(const std::string& path, int32_t side);
  // Deletes the layer when it exists.
  void DeleteLayer(const std::string& path);

  // Writes grid's tiles as level 1 of the layer with a whole-level write (Begin .. End).
  double WriteLevel(const std::string& path, const DemGrid& grid);
  // The same from tiles cut on demand, a row of tiles at a time; the cutting of each row
  // happens before its writes and stays out of the time.
  double WriteLevel(const std::string& path, const DemTiles& dem);
  // Reads every cell of every tile of level 1: tile sequences on the opened level, or
  // tile-data reads of the closed level.
  double ReadTileSequences(const std::string& path);
  double ReadTileData(const std::string& path);
  // Opens level 1, reads the warm cells, then times _hxGetCell of the timed cells.
  double RandomReads(const std::string& path, const std::vector<CellPos>& warm, const std::vector<CellPos>& timed);
  // Opens the layer and level 1, sets each cell, closes the level and the layer.
  double RandomWritesThenClose(const std::string& path, const std::vector<CellPos>& cells);
  // Opens the layer and level 1 and reads the centre cell; the closes are left out.
  double OpenAndReadOneCell(const std::string& path);

 private:
  struct OpenLayer;
  DemBaseAI* h_ = nullptr;
  int32_t ds_ = 0;
};

// The tool's pyramid command building levels 2 .. levels + 1, as a child process.
double BuildPyramid(const std::string& tool, const std::string& path, int levels);

}  // namespace dembase::bench

#endif  // DEMBASE_BENCH_DEMBASE_SIDE_H_
