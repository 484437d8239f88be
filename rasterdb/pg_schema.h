// The tables of a PostgreSQL raster database, made in the connection's current schema.
#ifndef DEMBASE_RASTERDB_PG_SCHEMA_H_
#define DEMBASE_RASTERDB_PG_SCHEMA_H_

#include <cstdint>

#include "pg_db.h"

namespace dembase::rasterdb::pg {

// First key of the advisory locks this library takes; the second is 0 for the schema, else a
// layer id (layer ids are unique across data sets).
inline constexpr int32_t kLockClass = 1145392466;
inline constexpr int64_t kSchemaVersion = 1;

// Makes the tables in a schema that has none; true when the schema then holds ours, false for
// a foreign or newer one or when the server cannot be used.
[[nodiscard]] bool PrepareSchema(Database& db);

}  // namespace dembase::rasterdb::pg

#endif  // DEMBASE_RASTERDB_PG_SCHEMA_H_
