// The cell and tile calls of the exports for one open layer at one level, with the tile
// sequences wrapped whole, and the layer kinds that table-driven tests run over. Tests only.
#ifndef DEMBASE_TESTS_SUPPORT_CELL_CALLS_H_
#define DEMBASE_TESTS_SUPPORT_CELL_CALLS_H_

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "dembase/dembase.h"
#include "rasterdb/test_pg_server.h"

namespace dembase::testing {

enum class Store : uint8_t { kFiles, kSqlite, kPostgresql };

// One way of making a layer: cell type, whether written tiles are compressed, and the
// kind of data set that keeps it (local files or a raster database).
struct LayerKind {
  uint16_t type = DEMBASE_TYPE_INT32;
  uint8_t compress = 1;
  Store store = Store::kFiles;

  bool is_float() const { return type == DEMBASE_TYPE_FLOAT32; }
  bool database() const { return store != Store::kFiles; }
  std::string store_name() const {
    return store == Store::kFiles ? "Files" : store == Store::kSqlite ? "Sqlite" : "Postgresql";
  }
  std::string name() const {
    return std::string(is_float() ? "Float" : "Int") + (compress ? "Packed" : "Raw") + (database() ? store_name() : "");
  }
};

// Two kinds in each raster database (what differs there is the store below the shared tile
// machinery); PostgreSQL only when a test server is named (scripts/pg_server.sh run).
inline std::vector<LayerKind> DatabaseKinds() {
  std::vector<LayerKind> kinds{{DEMBASE_TYPE_INT32, 1, Store::kSqlite}, {DEMBASE_TYPE_FLOAT32, 0, Store::kSqlite}};
  if (!rasterdb::test::PgServer().empty()) {
    kinds.push_back({DEMBASE_TYPE_INT32, 1, Store::kPostgresql});
    kinds.push_back({DEMBASE_TYPE_FLOAT32, 0, Store::kPostgresql});
  }
  return kinds;
}
// The given local kinds, then the database kinds.
inline std::vector<LayerKind> WithDatabaseKinds(std::vector<LayerKind> kinds) {
  for (const LayerKind& k : DatabaseKinds()) kinds.push_back(k);
  return kinds;
}
// Every cell type and compression in local files, and the database kinds.
inline std::vector<LayerKind> AllLayerKinds() {
  return WithDatabaseKinds(
      {{DEMBASE_TYPE_INT32, 1}, {DEMBASE_TYPE_INT32, 0}, {DEMBASE_TYPE_FLOAT32, 1}, {DEMBASE_TYPE_FLOAT32, 0}});
}
// The first kind of each data set.
inline std::vector<LayerKind> OneKindPerStore() {
  std::vector<LayerKind> kinds;
  for (const LayerKind& k : AllLayerKinds()) {
    if (kinds.empty() || kinds.back().store != k.store) kinds.push_back(k);
  }
  return kinds;
}

inline std::ostream& operator<<(std::ostream& os, const LayerKind& k) { return os << k.name(); }

// Copies of the packed records' fields: a packed field must not be bound to a reference.
struct ValueRange {
  double minValue = 0;
  double maxValue = 0;
};

struct CellRead {
  double value = 0;
  uint8_t isNull = 9;  // 9: never set by the call
};

class CellCalls {
 public:
  CellCalls(DemBaseAI* h, int32_t layer, int16_t level = 1, int32_t dataSet = LOCAL_DATASET_ID)
      : h_(h), ds_(dataSet), layer_(layer), level_(level) {}

  int16_t Set(int32_t row, int32_t col, double v) const { return _hxSetCell(h_, ds_, layer_, level_, 0, row, col, v); }
  CellRead Get(int32_t row, int32_t col) const {
    CellRead out;
    out.value = _hxGetCell(h_, ds_, layer_, level_, 0, row, col, &out.isNull);
    return out;
  }
  double Null() const { return _hxGetNullValue(h_, ds_, layer_); }

  bool SetOper(uint8_t compress, uint8_t blend = 1, float oldWeight = 0.0f, float newWeight = 1.0f) const {
    const LayerOperParam p{compress, blend, oldWeight, newWeight};
    return _hxSetLayerOperParam(h_, ds_, layer_, &p) == 1;
  }

  // The smallest and largest cell of a tile as its statistics hold them.
  std::optional<ValueRange> TileInfo(int32_t tileRow, int32_t tileCol) const {
    OneTileInfo info{};
    if (_hxGetOneTileInfo(h_, ds_, layer_, level_, 0, tileRow, tileCol, &info) != 1) return std::nullopt;
    return ValueRange{info.minimum, info.maximum};
  }
  // The smallest and largest cell of level 1 as the layer records them.
  std::optional<ValueRange> LayerRange() const {
    DataLayerParam p{};
    if (_hxGetDataLayerParam(h_, ds_, layer_, &p) != 1) return std::nullopt;
    return ValueRange{p.minValue, p.maxValue};
  }

  int16_t BeginWrite(int32_t tileRow, int32_t tileCol) const {
    return _hxBeginWriteTile(h_, ds_, layer_, level_, 0, tileRow, tileCol);
  }
  int16_t BeginRead(int32_t tileRow, int32_t tileCol) const {
    return _hxBeginReadTile(h_, ds_, layer_, level_, 0, tileRow, tileCol);
  }

  // One cell of a tile through a whole read sequence: the tile's own copy of the cell
  // (a tile that answers 2 reads as nulls). nullopt when a call of the sequence failed.
  std::optional<CellRead> ReadTileCell(int32_t tileRow, int32_t tileCol, int32_t r, int32_t c) const {
    if (BeginRead(tileRow, tileCol) < 1) return std::nullopt;
    CellRead out;
    const bool read = _hxReadCellOfTile(h_, r, c, &out.value, &out.isNull) == 1;
    if (_hxEndReadTile(h_) != 1 || !read) return std::nullopt;
    return out;
  }

  int32_t layer() const { return layer_; }

 private:
  DemBaseAI* h_;
  int32_t ds_;
  int32_t layer_;
  int16_t level_;
};

}  // namespace dembase::testing

#endif  // DEMBASE_TESTS_SUPPORT_CELL_CALLS_H_
