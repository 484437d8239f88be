#include "sqlite_schema.h"

namespace dembase::rasterdb::sqlite {
namespace {

// Keep in step with the schema documented in rasterdb.h; a change needs a new kSchemaVersion.
// The REAL columns of layers are readable copies of the param record and may be NULL (NaN).
constexpr const char* kCreateSchema = R"sql(
CREATE TABLE meta(
  name  TEXT PRIMARY KEY,
  value INTEGER NOT NULL
) WITHOUT ROWID;
INSERT INTO meta(name, value) VALUES ('next_tile_key', 1);
CREATE TABLE data_sets(
  data_set_id INTEGER PRIMARY KEY AUTOINCREMENT,
  name        TEXT NOT NULL UNIQUE COLLATE NOCASE
);
CREATE TABLE layers(
  layer_id    INTEGER PRIMARY KEY AUTOINCREMENT,
  data_set_id INTEGER NOT NULL REFERENCES data_sets(data_set_id),
  name        TEXT NOT NULL COLLATE NOCASE,
  db_extra    INTEGER NOT NULL,
  data_type   INTEGER NOT NULL,
  level_count INTEGER NOT NULL,
  x_min REAL, x_max REAL, y_min REAL, y_max REAL,
  cell_size_x REAL, cell_size_y REAL, min_value REAL, max_value REAL,
  param       BLOB NOT NULL CHECK (length(param) = 71),
  UNIQUE (data_set_id, name)
);
CREATE TABLE levels(
  layer_id       INTEGER NOT NULL REFERENCES layers(layer_id),
  level          INTEGER NOT NULL CHECK (level BETWEEN 1 AND 32767),
  cell_rows      INTEGER NOT NULL,
  cell_cols      INTEGER NOT NULL,
  tiles_down     INTEGER NOT NULL,
  tiles_across   INTEGER NOT NULL,
  closed_once    INTEGER NOT NULL,
  first_tile_key INTEGER NOT NULL,
  info           BLOB NOT NULL CHECK (length(info) = 37),
  PRIMARY KEY (layer_id, level)
) WITHOUT ROWID;
CREATE TABLE tiles(
  tile_key    INTEGER PRIMARY KEY CHECK (tile_key BETWEEN 1 AND 4294967295),
  layer_id    INTEGER NOT NULL,
  level       INTEGER NOT NULL,
  tile_number INTEGER NOT NULL,
  rec         BLOB NOT NULL CHECK (length(rec) = 17),
  data        BLOB,
  UNIQUE (layer_id, level, tile_number),
  FOREIGN KEY (layer_id, level) REFERENCES levels(layer_id, level)
);
PRAGMA application_id = 1145392466;
PRAGMA user_version = 1;
)sql";
static_assert(kApplicationId == 1145392466 && kSchemaVersion == 1, "kCreateSchema sets both ids");

struct Ids {
  int64_t application_id = -1;
  int64_t user_version = -1;
};

// False when the file cannot be read as SQLite.
bool ReadIds(Database& db, Ids* ids) {
  Query app(db, "PRAGMA application_id");
  if (app.Step() != SQLITE_ROW) return false;
  Query ver(db, "PRAGMA user_version");
  if (ver.Step() != SQLITE_ROW) return false;
  ids->application_id = app.Int(0);
  ids->user_version = ver.Int(0);
  return true;
}

bool IsOurs(const Ids& ids) { return ids.application_id == kApplicationId && ids.user_version == kSchemaVersion; }

bool IsBlank(Database& db, const Ids& ids) {
  if (ids.application_id != 0 || ids.user_version != 0) return false;
  Query q(db, "SELECT count(*) FROM sqlite_master");
  return q.Step() == SQLITE_ROW && q.Int(0) == 0;
}

}  // namespace

bool PrepareSchema(Database& db) {
  Ids ids;
  if (!ReadIds(db, &ids)) return false;
  const bool blank = !IsOurs(ids) && IsBlank(db, ids);
  if (!IsOurs(ids) && !blank) return false;
  // A tile's bytes are tens of kilobytes: in large pages they take a few pages, not dozens,
  // and each page costs system calls in the WAL and again in the checkpoint. A page size
  // takes effect only before the file's first write, so this touches no existing file.
  if (blank) (void)db.Exec("PRAGMA page_size=65536");
  // Readers in other processes must not be refused while a batch writes. The mode is kept in
  // the file, so this is a no-op after the first time; a file system without shared memory
  // keeps the rollback journal, which only costs concurrency.
  (void)db.Exec("PRAGMA journal_mode=WAL");
  if (IsOurs(ids)) return true;

  // Another process may be making the schema at this moment: decide again under the write lock.
  Transaction txn(db, Transaction::Mode::kWrite);
  if (!txn.ok() || !ReadIds(db, &ids)) return false;
  if (IsOurs(ids)) return txn.Commit();
  if (!IsBlank(db, ids) || !db.Exec(kCreateSchema)) return false;
  return txn.Commit();
}

}  // namespace dembase::rasterdb::sqlite
