#include "pg_schema.h"

namespace dembase::rasterdb::pg {
namespace {

// Keep in step with kSchemaVersion. The float columns of layers are readable copies of the
// param record; names are unique without regard to case, as on SQLite.
constexpr const char* kCreateSchema = R"sql(
CREATE TABLE meta(
  name  text PRIMARY KEY,
  value bigint NOT NULL
);
INSERT INTO meta(name, value) VALUES ('next_tile_key', 1), ('application_id', 1145392466), ('schema_version', 1);
CREATE TABLE data_sets(
  data_set_id integer GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  name        text NOT NULL
);
CREATE UNIQUE INDEX data_sets_name ON data_sets(lower(name));
CREATE TABLE layers(
  layer_id    integer GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  data_set_id integer NOT NULL REFERENCES data_sets(data_set_id),
  name        text NOT NULL,
  db_extra    bigint NOT NULL,
  data_type   bigint NOT NULL,
  level_count bigint NOT NULL,
  x_min double precision, x_max double precision, y_min double precision, y_max double precision,
  cell_size_x double precision, cell_size_y double precision,
  min_value double precision, max_value double precision,
  param       bytea NOT NULL CHECK (length(param) = 71)
);
CREATE UNIQUE INDEX layers_name ON layers(data_set_id, lower(name));
CREATE TABLE levels(
  layer_id       integer NOT NULL REFERENCES layers(layer_id),
  level          smallint NOT NULL CHECK (level BETWEEN 1 AND 32767),
  cell_rows      bigint NOT NULL,
  cell_cols      bigint NOT NULL,
  tiles_down     bigint NOT NULL,
  tiles_across   bigint NOT NULL,
  closed_once    bigint NOT NULL,
  first_tile_key bigint NOT NULL,
  info           bytea NOT NULL CHECK (length(info) = 37),
  PRIMARY KEY (layer_id, level)
);
CREATE TABLE tiles(
  tile_key    bigint PRIMARY KEY CHECK (tile_key BETWEEN 1 AND 4294967295),
  layer_id    integer NOT NULL,
  level       smallint NOT NULL,
  tile_number bigint NOT NULL,
  rec         bytea NOT NULL CHECK (length(rec) = 17),
  data        bytea,
  UNIQUE (layer_id, level, tile_number),
  FOREIGN KEY (layer_id, level) REFERENCES levels(layer_id, level)
);
-- Tile bytes are compressed already.
ALTER TABLE tiles ALTER COLUMN data SET STORAGE EXTERNAL;
)sql";
static_assert(kSchemaVersion == 1, "kCreateSchema sets the version");

}  // namespace

bool PrepareSchema(Database& db) {
  // The lock makes a second process that connects meanwhile wait for the tables.
  Transaction txn(db, Transaction::Mode::kWrite);
  if (!txn.ok() || !db.Run("SELECT pg_advisory_xact_lock($1::int, 0)", Params().Int(kLockClass)).ok()) return false;
  const Result state = db.Run(
      "SELECT (SELECT count(*) FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace"
      "        WHERE n.nspname = current_schema() AND c.relkind IN ('r', 'p', 'v', 'm', 'f'))::int8,"
      " (to_regclass('meta') IS NOT NULL)::int",
      Params());
  if (!state.ok() || state.Rows() != 1) return false;
  if (state.Int(0, 0) == 0) return db.Exec(kCreateSchema) && txn.Commit();
  if (state.Int(0, 1) != 1) return false;
  const Result ids = db.Run(
      "SELECT (SELECT value FROM meta WHERE name = 'application_id'),"
      " (SELECT value FROM meta WHERE name = 'schema_version')",
      Params());
  return ids.ok() && ids.Rows() == 1 && ids.Int(0, 0) == kLockClass && ids.Int(0, 1) == kSchemaVersion &&
         txn.Commit();
}

}  // namespace dembase::rasterdb::pg
