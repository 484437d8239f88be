#include "tools/layer_copy.h"

#include <cmath>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "tools/file_probe.h"
#include "tools/new_layer.h"
#include "tools/progress.h"
#include "tools/session.h"
#include "tools/tile_row_reader.h"
#include "tools/tile_row_writer.h"

namespace dembase::tool {
namespace {

namespace fs = std::filesystem;

// A source level and the number it takes in the target.
struct LevelPlan {
  int16_t from;
  int16_t to;
  PyramidLayerInfo info;
};

std::string Size(const PyramidLayerInfo& i) { return std::to_string(i.rows) + " x " + std::to_string(i.cols); }

StatusOr<std::vector<LevelPlan>> PlanLevels(const Layer& source, bool localTarget) {
  StatusOr<std::vector<int16_t>> levels = source.Levels();
  if (!levels.ok()) return levels.status();
  // The target is made with its level 1 at the description's cell size.
  if (levels->empty() || levels->front() != 1) return Error(source.ref().text, "has no level 1 to copy");
  std::vector<LevelPlan> plan;
  for (size_t i = 0; i < levels->size(); ++i) {
    StatusOr<PyramidLayerInfo> info = source.LevelInfo((*levels)[i]);
    if (!info.ok()) return info.status();
    plan.push_back({(*levels)[i], localTarget ? static_cast<int16_t>(i + 1) : (*levels)[i], *info});
  }
  return plan;
}

// Refusals that need nothing made: a target that exists, or what a killed copy left.
Status CheckLocalTargets(const LayerRef& to, const LayerRef& part) {
  if (Status s = CheckLocalTarget(to); !s.ok()) return s;
  if (Occupied(part.headerPath)) {
    return Error(part.headerPath, "left over from an interrupted copy; remove it with dembase rm " + part.text);
  }
  return {};
}

Status CopyLevel(Layer& source, Layer& target, const LevelPlan& level, Progress& progress, CopyOutcome* outcome) {
  if (level.to != 1) {
    const int16_t r = _hxCreatePyramidLayer(target.h(), target.ds(), target.id(), level.to, level.info.cellSizeX,
                                            level.info.cellSizeY);
    if (r != 1) {
      return Status::Error(target.LevelText(level.to, "cannot create: " + ResultText(r, "the store refused it")));
    }
  }
  StatusOr<PyramidLayerInfo> made = target.LevelInfo(level.to);
  if (!made.ok()) return made.status();
  if (made->rows != level.info.rows || made->cols != level.info.cols) {
    return Status::Error(target.LevelText(level.to, "came out " + Size(*made) + " cells, not the " +
                                                        Size(level.info) + " of the source"));
  }
  StatusOr<TileRowReader> reader = TileRowReader::Checked(source, level.from);
  if (!reader.ok()) return reader.status();
  StatusOr<std::unique_ptr<TileRowWriter>> writer = TileRowWriter::Begin(target, level.to);
  if (!writer.ok()) return writer.status();
  TileStrip strip;
  for (int32_t tr = 0; tr < level.info.tilesDown; ++tr) {
    if (Status s = reader->Read(tr, &strip); !s.ok()) return s;
    if (Status s = (*writer)->Write(strip); !s.ok()) return s;
    progress.Advance(level.info.tilesAcross);
  }
  if (Status s = (*writer)->End(); !s.ok()) return s;
  outcome->tilesStored += (*writer)->tilesStored();
  outcome->tilesEmpty += (*writer)->tilesEmpty();
  return {};
}

// Every cell of the copy as the source has it (nulls alike).
Status VerifyLevel(const Layer& source, const Layer& target, const LevelPlan& level, Progress& progress) {
  const TileRowReader from(source, level.from, level.info);
  const TileRowReader to(target, level.to, level.info);
  TileStrip a;
  TileStrip b;
  for (int32_t tr = 0; tr < level.info.tilesDown; ++tr) {
    if (Status s = from.Read(tr, &a); !s.ok()) return s;
    if (Status s = to.Read(tr, &b); !s.ok()) return s;
    for (size_t i = 0; i < a.cells.size(); ++i) {
      if (a.cells[i] == b.cells[i] || (std::isnan(a.cells[i]) && std::isnan(b.cells[i]))) continue;
      const size_t cols = static_cast<size_t>(a.cols);
      return Status::Error(target.LevelText(
          level.to, "the copy differs from " + source.ref().text + " at row " +
                        std::to_string(static_cast<size_t>(a.firstRow) + i / cols) + ", column " +
                        std::to_string(i % cols)));
    }
    progress.Advance(level.info.tilesAcross);
  }
  return {};
}

int64_t TilesOf(const std::vector<LevelPlan>& plan) {
  int64_t tiles = 0;
  for (const LevelPlan& l : plan) tiles += static_cast<int64_t>(l.info.tilesDown) * l.info.tilesAcross;
  return tiles;
}

}  // namespace

Status CheckLocalTarget(const LayerRef& to) {
  if (Occupied(to.headerPath)) return Error(to.headerPath, "already exists");
  if (Occupied(to.crsPath)) return Error(to.crsPath, "already exists (a reference system without its layer?)");
  return {};
}

StatusOr<LayerRef> PartRef(const LayerRef& to) {
  return ParseLayerRef((fs::path(to.dir) / (to.name + ".dem.part")).string());
}

StatusOr<CopyOutcome> CopyThroughExports(const LayerRef& from, const LayerRef& to, bool verify, bool quiet) {
  StatusOr<OpenedLayer> source = OpenLayerByName(from);
  if (!source.ok()) return source.status();
  Layer& src = *source->layer;
  StatusOr<DataLayerParam> param = src.Param();
  if (!param.ok()) return param.status();
  StatusOr<std::vector<LevelPlan>> plan = PlanLevels(src, to.local());
  if (!plan.ok()) return plan.status();
  CopyOutcome outcome;
  outcome.levels = static_cast<int32_t>(plan->size());
  outcome.renumbered = plan->back().from != plan->back().to;
  if (from.local() && !to.local()) outcome.crsDropped = Occupied(from.crsPath);

  LayerRef building = to;
  if (to.local()) {
    StatusOr<LayerRef> part = PartRef(to);
    if (!part.ok()) return part.status();
    if (Status s = CheckLocalTargets(to, *part); !s.ok()) return s;
    building = *part;
  }
  StatusOr<std::unique_ptr<Session>> session = Session::Open(building, DatabaseUse::kMayCreate);
  if (!session.ok()) return session.status();
  StatusOr<std::unique_ptr<NewLayer>> made = NewLayer::Begin(**session, building);
  if (!made.ok()) return made.status();
  DataLayerParam p = *param;
  p.levelCount = 0;
  if (Status s = (*made)->Create(&p, false); !s.ok()) return s;
  {
    // Closed before a failed copy is deleted.
    StatusOr<std::unique_ptr<Layer>> target = Layer::Open(**session, building);
    if (!target.ok()) return target.status();
    Progress copying("copy", TilesOf(*plan), quiet);
    for (const LevelPlan& level : *plan) {
      if (Status s = CopyLevel(src, **target, level, copying, &outcome); !s.ok()) return s;
    }
    if (verify) {
      Progress verifying("verify", TilesOf(*plan), quiet);
      for (const LevelPlan& level : *plan) {
        if (Status s = VerifyLevel(src, **target, level, verifying); !s.ok()) return s;
      }
    }
    if (Status s = (*target)->Close(); !s.ok()) return s;
  }
  if (to.local()) {
    const int16_t r = _hxRenameDataLayer((*session)->handle(), (*session)->dataSet(), building.headerPath.c_str(),
                                         to.headerPath.c_str());
    if (r != 1) {
      return Error(to.headerPath, "cannot put the finished copy in place: " +
                                      ResultText(r, HeldOpenElsewhere(building.headerPath)
                                                        ? "another process opened the copy"
                                                        : "its files could not be renamed"));
    }
  }
  (*made)->Keep();
  return outcome;
}

}  // namespace dembase::tool
