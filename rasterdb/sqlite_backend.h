// The SQLite backend: one SQLite connection to one database file, with the schema of
// sqlite_schema.cc. See backend.h for the contract.
#ifndef DEMBASE_RASTERDB_SQLITE_BACKEND_H_
#define DEMBASE_RASTERDB_SQLITE_BACKEND_H_

#include <memory>
#include <string>

#include "backend.h"

namespace dembase::rasterdb {

// Opens or creates the database file; null when it cannot be opened or is not ours.
[[nodiscard]] std::unique_ptr<Backend> OpenSqliteBackend(const std::string& path);

}  // namespace dembase::rasterdb

#endif  // DEMBASE_RASTERDB_SQLITE_BACKEND_H_
