// DbLevelStore: the LevelStore of a level kept in the raster database. Tile bytes and
// records go through librasterdb; every change of an open level goes into one write
// batch (one transaction), begun by the first tile stored and committed when the level
// closes, so a reader elsewhere sees each tile old or new and never a torn mix.
//
// The database keeps each tile's key in the record's offset field and marks a tile with
// nothing stored by storedSize 0; the keys stay here and records cross to the open level
// in its in-memory form (level_store.h).
#ifndef DEMBASE_DBSTORE_DB_LEVEL_STORE_H_
#define DEMBASE_DBSTORE_DB_LEVEL_STORE_H_

#include <cstdint>
#include <vector>

#include "cells/cell_value.h"
#include "localstore/level_store.h"

namespace dembase {

class DbLevelStore final : public LevelStore {
 public:
  DbLevelStore(uint32_t connection, int32_t layerId, int16_t level, CellType type)
      : connection_(connection), layerId_(layerId), level_(level), type_(type) {}
  // Rolls back a batch still open: a level abandoned without Finish keeps nothing of it.
  ~DbLevelStore() override;

  // Reads the level's description and its records (the database hands out a level's
  // records only whole). A level never closed since it was created starts with every
  // tile empty, as stored. False when the level does not exist, its geometry is not one
  // this library makes, or its records cannot be read.
  [[nodiscard]] bool Open();

  const PyramidLayerInfo& info() const override { return info_; }
  const LevelGeometry& geometry() const override { return geometry_; }
  [[nodiscard]] bool LoadRecords(int32_t first, std::span<TileIndexRec> out) override;
  [[nodiscard]] std::optional<std::span<const uint8_t>> ReadBytes(int32_t t, const TileIndexRec& rec,
                                                                 std::span<uint8_t> scratch) override;
  [[nodiscard]] bool StoreBytes(int32_t t, TileIndexRec* rec, const EncodedPayload& payload) override;
  [[nodiscard]] bool RecordChanged(int32_t t, const TileIndexRec& rec) override;
  [[nodiscard]] bool Finish(std::span<const TileIndexRec> index, bool indexChanged) override;

  // The database's form of a record in memory form, for tile t.
  TileIndexRec ToStored(int32_t t, const TileIndexRec& rec) const;

 private:
  // Opens the level's write batch when none is open; a connection whose batch another
  // layer holds writes outside one (the library joins such writes to that batch).
  void BeginBatch();
  [[nodiscard]] bool LoadTable();

  uint32_t connection_;
  int32_t layerId_;
  int16_t level_;
  CellType type_;
  PyramidLayerInfo info_{};
  LevelGeometry geometry_;
  std::vector<uint32_t> keys_;         // the database's key of each tile's bytes
  std::vector<TileIndexRec> records_;  // as loaded at Open, in the in-memory form
  bool batch_ = false;
};

}  // namespace dembase

#endif  // DEMBASE_DBSTORE_DB_LEVEL_STORE_H_
