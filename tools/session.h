// The tool's hold on the library: a handle with one data set open, and an open layer.
// Everything goes through the 41 exports of dembase.h. One thread uses a Session and the
// Layers made from it; a Layer must not outlive its Session.
#ifndef DEMBASE_TOOLS_SESSION_H_
#define DEMBASE_TOOLS_SESSION_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dembase/dembase.h"
#include "tools/layer_name.h"
#include "tools/status.h"

namespace dembase::tool {

// Whether a database file may be made: opening a database data set creates the file (and the
// data set) when missing, which only commands that make a layer may do.
enum class DatabaseUse { kExisting, kMayCreate };

class Session {
 public:
  // Opens the data set that ref names (the local store, or a database data set).
  static StatusOr<std::unique_ptr<Session>> Open(const LayerRef& ref, DatabaseUse use = DatabaseUse::kExisting);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  DemBaseAI* handle() const { return handle_; }
  int32_t dataSet() const { return dataSet_; }
  // Whether opening made the database file.
  bool madeDatabase() const { return !madeDatabase_.empty(); }
  // Removes the database file this session made once the session is closed: a failed
  // attempt leaves no empty database behind. REQUIRES: madeDatabase().
  void DiscardDatabaseOnClose() { discardDatabase_ = true; }

 private:
  Session(DemBaseAI* handle, int32_t dataSet, std::string madeDatabase)
      : handle_(handle), dataSet_(dataSet), madeDatabase_(std::move(madeDatabase)) {}
  DemBaseAI* handle_;
  int32_t dataSet_;
  std::string madeDatabase_;  // the path of the database file opening made, or ""
  bool discardDatabase_ = false;
};

// Creates the layer that ref names with the description in *param (xMax and yMax come
// back snapped) and its level 1. Refuses a layer that exists.
[[nodiscard]] Status CreateLayer(Session& session, const LayerRef& ref, DataLayerParam* param, bool roundUp);

class Layer {
 public:
  static StatusOr<std::unique_ptr<Layer>> Open(Session& session, const LayerRef& ref);
  // Closes an open level, then the layer; failures here go unreported (use Close()).
  ~Layer();
  Layer(const Layer&) = delete;
  Layer& operator=(const Layer&) = delete;

  const LayerRef& ref() const { return ref_; }
  DemBaseAI* h() const { return session_.handle(); }
  int32_t ds() const { return session_.dataSet(); }
  int32_t id() const { return id_; }

  // The description as the layer holds it now.
  [[nodiscard]] StatusOr<DataLayerParam> Param() const;
  bool floatCells() const { return floatCells_; }
  double NullValue() const;
  bool IsNull(double v) const;

  // The level's geometry; an error when it does not add up (no cells, tile counts that do
  // not follow from the cell counts, a cell size that is not finite and positive).
  [[nodiscard]] StatusOr<PyramidLayerInfo> LevelInfo(int16_t level) const;
  // The numbers of the levels that exist, ascending. Local levels are 1 .. level count; a
  // database keeps a level's number when one below it is deleted, so there are gaps.
  [[nodiscard]] StatusOr<std::vector<int16_t>> Levels() const;
  // The level must exist.
  [[nodiscard]] Status CheckLevel(int16_t level) const;
  [[nodiscard]] Status OpenLevel(int16_t level);
  // Writes the open level's tiles; an error when they could not all be written.
  [[nodiscard]] Status CloseLevel();
  int16_t openLevel() const { return openLevel_; }
  // A tile's record of the open level.
  [[nodiscard]] StatusOr<OneTileInfo> TileInfo(int16_t level, int32_t tr, int32_t tc) const;
  // Whether a tile's statistics say it holds cells (an empty tile's are the null value).
  bool ClaimsValues(const OneTileInfo& tile) const { return !IsNull(tile.minimum) || !IsNull(tile.maximum); }
  // Blending off: written cells replace stored ones (and a null value empties a cell).
  [[nodiscard]] Status ReplaceOnWrite();

  // Closes the open level and the layer, reporting what failed.
  [[nodiscard]] Status Close();

  // "LAYER level N: what", for messages about a level.
  std::string LevelText(int16_t level, const std::string& what) const;

 private:
  Layer(Session& session, LayerRef ref, int32_t id, bool floatCells)
      : session_(session), ref_(std::move(ref)), id_(id), floatCells_(floatCells) {}
  Session& session_;
  LayerRef ref_;
  int32_t id_;
  bool floatCells_;
  int16_t openLevel_ = 0;
};

// A layer named on the command line, opened in a session of its own.
struct OpenedLayer {
  std::unique_ptr<Session> session;
  std::unique_ptr<Layer> layer;  // declared after the session: closed before it
};
[[nodiscard]] StatusOr<OpenedLayer> OpenLayerByName(const LayerRef& ref);

// The meaning of a library result other than 1; whenZero is the likely cause of a 0.
std::string ResultText(int32_t result, const std::string& whenZero);

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_SESSION_H_
