// The PostgreSQL backend: one libpq session on a server, with the tables of pg_schema.cc in
// the session's current schema. See backend.h for the contract. Layers held open are session
// advisory locks, so they go with the session, or with its process when that dies.
#ifndef DEMBASE_RASTERDB_PG_BACKEND_H_
#define DEMBASE_RASTERDB_PG_BACKEND_H_

#include <memory>
#include <string>

#include "backend.h"

namespace dembase::rasterdb {

// conninfo: a libpq connection string or URI; user and password override it when not empty.
// Null when the server cannot be reached or the schema is foreign.
[[nodiscard]] std::unique_ptr<Backend> OpenPgBackend(const std::string& conninfo, const std::string& user,
                                                     const std::string& password);

}  // namespace dembase::rasterdb

#endif  // DEMBASE_RASTERDB_PG_BACKEND_H_
