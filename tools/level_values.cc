#include "tools/level_values.h"

#include <algorithm>
#include <unordered_map>

#include "tools/progress.h"
#include "tools/tile_row_reader.h"

namespace dembase::tool {

StatusOr<std::vector<DemVatItem>> CountLevelValues(Layer& layer, int16_t level, bool quiet) {
  StatusOr<TileRowReader> reader = TileRowReader::Checked(layer, level);
  if (!reader.ok()) return reader.status();
  const PyramidLayerInfo& info = reader->info();
  std::unordered_map<int32_t, uint64_t> counts;
  Progress progress("counting", info.tilesDown, quiet);
  TileStrip strip;
  for (int32_t tr = 0; tr < info.tilesDown; ++tr) {
    if (Status s = reader->Read(tr, &strip); !s.ok()) return s;
    // A strip's last row is the next strip's first, except in the level's last strip.
    const int32_t rows = tr + 1 < info.tilesDown ? std::min(strip.rows, kTileStep) : strip.rows;
    for (int32_t r = 0; r < rows; ++r) {
      const double* row = strip.Row(strip.firstRow + r);
      for (int32_t c = 0; c < strip.cols; ++c) {
        if (!IsNullCell(row[c])) ++counts[static_cast<int32_t>(row[c])];
      }
    }
    if (counts.size() > DEMVAT_MAX_ITEMS) {
      return Status::Error(layer.LevelText(level, "more than " + std::to_string(DEMVAT_MAX_ITEMS) +
                                                      " distinct values; value attribute tables are for class rasters"));
    }
    progress.Advance();
  }
  std::vector<DemVatItem> items;
  items.reserve(counts.size());
  for (const auto& [value, cells] : counts) items.push_back(DemVatItem{value, 0, cells});
  std::sort(items.begin(), items.end(), [](const DemVatItem& a, const DemVatItem& b) { return a.value < b.value; });
  return items;
}

}  // namespace dembase::tool
