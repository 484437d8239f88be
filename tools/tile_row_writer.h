// Writes a whole level that is not open, one tile row at a time, with the library's
// whole-level write: each tile is cut from a strip with its one-cell overlap, converted
// to the layer's cell type, and stored with its statistics (an all-null tile is stored
// as empty). Written tiles replace what the level held.
#ifndef DEMBASE_TOOLS_TILE_ROW_WRITER_H_
#define DEMBASE_TOOLS_TILE_ROW_WRITER_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "tools/session.h"
#include "tools/status.h"
#include "tools/tile_strip.h"

namespace dembase::tool {

class TileRowWriter {
 public:
  // Turns blending off on the layer and begins the write. REQUIRES: level is not open.
  static StatusOr<std::unique_ptr<TileRowWriter>> Begin(Layer& layer, int16_t level);
  ~TileRowWriter();
  TileRowWriter(const TileRowWriter&) = delete;
  TileRowWriter& operator=(const TileRowWriter&) = delete;

  // Stores every tile of strip.tileRow. A cell that is not Storable is stored as null;
  // integer layers take whole numbers.
  [[nodiscard]] Status Write(const TileStrip& strip);
  // Ends the sequence: an error when the library could not complete the level. The
  // destructor ends an unfinished sequence without a verdict (the write failed already).
  [[nodiscard]] Status End();

  int64_t tilesStored() const { return tilesStored_; }
  int64_t tilesEmpty() const { return tilesEmpty_; }

 private:
  TileRowWriter(Layer& layer, int16_t level, const PyramidLayerInfo& info);
  Layer& layer_;
  int16_t level_;
  PyramidLayerInfo info_;
  bool running_ = true;
  std::vector<uint32_t> cells_;  // one tile in the layer's cell type, row-major
  int64_t tilesStored_ = 0;
  int64_t tilesEmpty_ = 0;
};

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_TILE_ROW_WRITER_H_
