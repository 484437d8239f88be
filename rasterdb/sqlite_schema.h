// The SQLite schema of the raster database (documented in include/dembase/rasterdb.h): creating
// it in a blank database and recognising it by application_id and user_version.
#ifndef DEMBASE_RASTERDB_SQLITE_SCHEMA_H_
#define DEMBASE_RASTERDB_SQLITE_SCHEMA_H_

#include <cstdint>

#include "sqlite_db.h"

namespace dembase::rasterdb::sqlite {

inline constexpr int64_t kApplicationId = 0x44454D52;  // "DEMR"
inline constexpr int64_t kSchemaVersion = 1;

// Makes the database usable: a blank one (no schema objects, both ids 0) gets the schema and
// WAL journaling; one of ours is switched to WAL when it is not yet. False, with nothing
// written, for a file that is not SQLite or belongs to someone else or another schema version.
[[nodiscard]] bool PrepareSchema(Database& db);

}  // namespace dembase::rasterdb::sqlite

#endif  // DEMBASE_RASTERDB_SQLITE_SCHEMA_H_
