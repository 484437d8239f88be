// One level of a layer as a GDAL band. A block is 255 x 255 cells: block (bx, by) is tile
// (by, bx) without the row and column it shares with the next tiles, so a block read
// touches one tile. Reads go through the library's tile-data reads, which inflate the next
// tiles in row-major order on another core, the order GDAL reads blocks in; a block write
// is one tile write of the open level plus cell writes for the edges it shares.
#ifndef DEMBASE_GDAL_DEMBASE_BAND_H_
#define DEMBASE_GDAL_DEMBASE_BAND_H_

#include <gdal_pam.h>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "dembase/dembase.h"

namespace dembase::gdal {

class DembaseDataset;

class DembaseBand final : public GDALPamRasterBand {
 public:
  DembaseBand(DembaseDataset* ds, int16_t level, const PyramidLayerInfo& info, GDALDataType type);

  CPLErr IReadBlock(int bx, int by, void* image) override;
  CPLErr IWriteBlock(int bx, int by, void* image) override;
  double GetNoDataValue(int* success) override;
  CPLErr SetNoDataValue(double value) override;
  double GetMinimum(int* success) override;
  double GetMaximum(int* success) override;
  int GetOverviewCount() override { return static_cast<int>(overviews_.size()); }
  GDALRasterBand* GetOverview(int i) override;

  void AddOverview(std::unique_ptr<DembaseBand> band) { overviews_.push_back(std::move(band)); }
  void ClearOverviews() { overviews_.clear(); }

 private:
  // The smallest and largest stored value, from the tile records; nullopt when none.
  std::optional<std::pair<double, double>> Range();

  DembaseDataset* ds_;
  int16_t level_;
  std::vector<std::unique_ptr<DembaseBand>> overviews_;
  std::optional<std::optional<std::pair<double, double>>> range_;  // once known
};

}  // namespace dembase::gdal

#endif  // DEMBASE_GDAL_DEMBASE_BAND_H_
