#include "tools/import_raster.h"

#include "tools/crs_sidecar.h"
#include "tools/new_layer.h"
#include "tools/progress.h"
#include "tools/tile_row_writer.h"
#include "tools/tile_strip.h"

namespace dembase::tool {
namespace {

// Non-null cells of the strip that no cell of the layer holds; the first row is the last
// of the strip before unless the strip is the first, and is counted there.
int64_t Unstorable(const TileStrip& strip, bool floatCells) {
  int64_t n = 0;
  const size_t from = strip.tileRow == 0 ? 0 : static_cast<size_t>(strip.cols);
  for (size_t i = from; i < strip.cells.size(); ++i) {
    if (!IsNullCell(strip.cells[i]) && !Storable(strip.cells[i], floatCells)) ++n;
  }
  return n;
}

}  // namespace

StatusOr<ImportResult> ImportRaster(Session& session, const LayerRef& ref, RasterSource& source,
                                    const ImportPlan& plan, bool quiet) {
  const int32_t rows = source.rows();
  const int32_t cols = source.cols();
  if (rows < 1 || cols < 1) return Error(ref.text, "the raster has no cells");
  DataLayerParam param = LayerParamFor(plan.transform, rows, cols, plan.dataType);
  // Cells too small for their coordinates collapse (x + cell == x); the layer would not
  // be the raster.
  const std::optional<int32_t> layerCols = CellsAlong(param.xMin, param.xMax, param.cellSizeX);
  const std::optional<int32_t> layerRows = CellsAlong(param.yMin, param.yMax, param.cellSizeY);
  if (layerRows != rows || layerCols != cols) {
    return Error(ref.text, "the raster's cells are too small for its coordinates: the layer would not hold its " +
                               std::to_string(rows) + " x " + std::to_string(cols) + " cells");
  }
  StatusOr<std::unique_ptr<NewLayer>> made = NewLayer::Begin(session, ref);
  if (!made.ok()) return made.status();
  // The extent is a whole number of cells already; snapping only absorbs rounding.
  if (Status s = (*made)->Create(&param, false); !s.ok()) return s;
  ImportResult result;
  if (!plan.crsWkt.empty() && ref.local()) {
    if (Status s = WriteCrs(ref, plan.crsWkt); !s.ok()) return s;
  }
  result.crsDropped = !plan.crsWkt.empty() && !ref.local();
  // Declared after the new layer: closed before a failed one is deleted.
  StatusOr<std::unique_ptr<Layer>> layer = Layer::Open(session, ref);
  if (!layer.ok()) return layer.status();

  StatusOr<PyramidLayerInfo> info = (*layer)->LevelInfo(1);
  if (!info.ok()) return info.status();
  result.level = *info;
  if (info->rows != rows || info->cols != cols) {
    return Error(ref.text, "level 1 came out " + std::to_string(info->rows) + " x " + std::to_string(info->cols) +
                               " cells instead of " + std::to_string(rows) + " x " + std::to_string(cols));
  }
  {
    StatusOr<std::unique_ptr<TileRowWriter>> writer = TileRowWriter::Begin(**layer, 1);
    if (!writer.ok()) return writer.status();
    Progress progress("import", info->tilesDown, quiet);
    TileStrip strip;
    for (int32_t tr = 0; tr < info->tilesDown; ++tr) {
      strip.Reset(tr, rows, cols);
      if (Status s = source.ReadRows(strip.firstRow, strip.rows, strip.cells.data()); !s.ok()) return s;
      result.cellsDropped += Unstorable(strip, (*layer)->floatCells());
      if (Status s = (*writer)->Write(strip); !s.ok()) return s;
      progress.Advance();
    }
    if (Status s = (*writer)->End(); !s.ok()) return s;
    result.tilesStored = (*writer)->tilesStored();
    result.tilesEmpty = (*writer)->tilesEmpty();
  }
  if (Status s = (*layer)->Close(); !s.ok()) return s;
  (*made)->Keep();
  return result;
}

}  // namespace dembase::tool
