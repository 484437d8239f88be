// The C entry points of librasterdb: check the handle, lock its connection, call it, and turn
// anything C++ may throw (std::bad_alloc) into a refusal.
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "connection.h"
#include "connection_table.h"
#include "dembase/rasterdb.h"
#include "pg_backend.h"
#include "sqlite_backend.h"

namespace {

using dembase::rasterdb::Connection;
using dembase::rasterdb::ConnectionTable;

// Longest database path, connection string, user or password accepted, in bytes.
constexpr std::size_t kMaxArg = 4095;

template <typename Result, typename Call>
Result WithConnection(uint32_t handle, Result refused, Call&& call) noexcept {
  try {
    std::shared_ptr<Connection> connection = ConnectionTable::Instance().Find(handle);
    if (connection == nullptr) return refused;
    std::lock_guard lock(connection->mutex());
    if (connection->closed()) return refused;  // disconnected by another thread meanwhile
    return call(*connection);
  } catch (...) {
    return refused;
  }
}

// The caller's text of at most kMaxArg bytes; nullopt when longer (or null and required).
std::optional<std::string> Arg(const char* s, bool required) {
  if (s == nullptr) return required ? std::nullopt : std::optional<std::string>(std::string());
  const std::size_t n = strnlen(s, kMaxArg + 1);
  if (n > kMaxArg || (required && n == 0)) return std::nullopt;
  return std::string(s, n);
}

std::unique_ptr<dembase::rasterdb::Backend> OpenBackend(int32_t kind, const char* arg1, const char* arg2,
                                                        const char* arg3) {
  const std::optional<std::string> first = Arg(arg1, true);
  if (!first) return nullptr;
  if (kind == RASTERDB_KIND_SQLITE) return dembase::rasterdb::OpenSqliteBackend(*first);
  if (kind != RASTERDB_KIND_POSTGRESQL) return nullptr;
  const std::optional<std::string> user = Arg(arg2, false), password = Arg(arg3, false);
  if (!user || !password) return nullptr;
  return dembase::rasterdb::OpenPgBackend(*first, *user, *password);
}

}  // namespace

extern "C" {

uint32_t DbConnect(int32_t connectKind, const char* connectArg1, const char* connectArg2,
                   const char* connectArg3) {
  try {
    std::unique_ptr<dembase::rasterdb::Backend> backend =
        OpenBackend(connectKind, connectArg1, connectArg2, connectArg3);
    if (backend == nullptr) return 0;
    return ConnectionTable::Instance().Add(std::make_shared<Connection>(connectKind, std::move(backend)));
  } catch (...) {
    return 0;
  }
}

void DbDisconnect(uint32_t conn) {
  try {
    std::shared_ptr<Connection> connection = ConnectionTable::Instance().Remove(conn);
    if (connection == nullptr) return;
    std::lock_guard lock(connection->mutex());
    connection->Close();
  } catch (...) {
  }
}

int32_t DbConnectionKind(uint32_t conn) {
  return WithConnection(conn, int32_t{0}, [](Connection& c) { return c.kind(); });
}

int32_t DbOpenDataSet(uint32_t conn, const DbConnectInfo* info) {
  return WithConnection(conn, int32_t{0}, [&](Connection& c) { return c.OpenDataSet(info); });
}

void DbCloseDataSet(uint32_t conn, int32_t dataSetId) {
  WithConnection(conn, 0, [&](Connection& c) {
    c.CloseDataSet(dataSetId);
    return 0;
  });
}

int16_t DbCreateLayer(uint32_t conn, int32_t dataSetId, const char* name, const DataLayerParam* param,
                      uint32_t dbExtra) {
  return WithConnection(conn, int16_t{0},
                        [&](Connection& c) { return c.CreateLayer(dataSetId, name, param, dbExtra); });
}

int16_t DbDeleteLayer(uint32_t conn, int32_t dataSetId, const char* name) {
  return WithConnection(conn, int16_t{0}, [&](Connection& c) { return c.DeleteLayer(dataSetId, name); });
}

int32_t DbOpenLayer(uint32_t conn, int32_t dataSetId, const char* name) {
  return WithConnection(conn, int32_t{0}, [&](Connection& c) { return c.OpenLayer(dataSetId, name); });
}

void DbCloseLayer(uint32_t conn, int32_t dataSetId, int32_t layerId) {
  WithConnection(conn, 0, [&](Connection& c) {
    c.CloseLayer(dataSetId, layerId);
    return 0;
  });
}

int16_t DbGetLayerParam(uint32_t conn, int32_t layerId, DataLayerParam* out) {
  return WithConnection(conn, int16_t{0}, [&](Connection& c) { return c.GetLayerParam(layerId, out); });
}

int16_t DbSetLayerParam(uint32_t conn, int32_t layerId, const DataLayerParam* param) {
  return WithConnection(conn, int16_t{0}, [&](Connection& c) { return c.SetLayerParam(layerId, param); });
}

int16_t DbCreateLevel(uint32_t conn, int32_t layerId, int16_t level, const PyramidLayerInfo* info) {
  return WithConnection(conn, int16_t{0}, [&](Connection& c) { return c.CreateLevel(layerId, level, info); });
}

int16_t DbDeleteLevel(uint32_t conn, int32_t layerId, int16_t level) {
  return WithConnection(conn, int16_t{0}, [&](Connection& c) { return c.DeleteLevel(layerId, level); });
}

int16_t DbGetLevelInfo(uint32_t conn, int32_t layerId, int16_t level, PyramidLayerInfo* out) {
  return WithConnection(conn, int16_t{0}, [&](Connection& c) { return c.GetLevelInfo(layerId, level, out); });
}

int16_t DbSetLevelInfo(uint32_t conn, int32_t layerId, int16_t level, const PyramidLayerInfo* info) {
  return WithConnection(conn, int16_t{0}, [&](Connection& c) { return c.SetLevelInfo(layerId, level, info); });
}

int16_t DbReadTileIndex(uint32_t conn, int32_t layerId, int16_t level, TileIndexRec* out) {
  return WithConnection(conn, int16_t{0}, [&](Connection& c) { return c.ReadTileIndex(layerId, level, out); });
}

int16_t DbWriteTileIndex(uint32_t conn, int32_t layerId, int16_t level, const TileIndexRec* index, int32_t count) {
  return WithConnection(conn, int16_t{0},
                        [&](Connection& c) { return c.WriteTileIndex(layerId, level, index, count); });
}

int16_t DbReadTileRec(uint32_t conn, int32_t layerId, int16_t level, int32_t tileNumber, TileIndexRec* out) {
  return WithConnection(conn, int16_t{0},
                        [&](Connection& c) { return c.ReadTileRec(layerId, level, tileNumber, out); });
}

int16_t DbWriteTileRec(uint32_t conn, int32_t layerId, int16_t level, int32_t tileNumber, const TileIndexRec* rec) {
  return WithConnection(conn, int16_t{0},
                        [&](Connection& c) { return c.WriteTileRec(layerId, level, tileNumber, rec); });
}

int16_t DbReadTileData(uint32_t conn, int32_t layerId, uint32_t tileKey, uint32_t length, void* buffer) {
  return WithConnection(conn, int16_t{0},
                        [&](Connection& c) { return c.ReadTileData(layerId, tileKey, length, buffer); });
}

int16_t DbWriteTileData(uint32_t conn, int32_t layerId, uint32_t tileKey, const void* bytes, uint32_t length) {
  return WithConnection(conn, int16_t{0},
                        [&](Connection& c) { return c.WriteTileData(layerId, tileKey, bytes, length); });
}

int16_t DbBeginWrite(uint32_t conn, int32_t layerId, int16_t level) {
  return WithConnection(conn, int16_t{0}, [&](Connection& c) { return c.BeginWrite(layerId, level); });
}

int16_t DbPutTileRec(uint32_t conn, int32_t tileNumber, const TileIndexRec* rec) {
  return WithConnection(conn, int16_t{0}, [&](Connection& c) { return c.PutTileRec(tileNumber, rec); });
}

int16_t DbPutTileData(uint32_t conn, uint32_t tileKey, const void* bytes, uint32_t length) {
  return WithConnection(conn, int16_t{0}, [&](Connection& c) { return c.PutTileData(tileKey, bytes, length); });
}

int16_t DbEndWrite(uint32_t conn) {
  return WithConnection(conn, int16_t{0}, [&](Connection& c) { return c.EndWrite(); });
}

int16_t DbAbortWrite(uint32_t conn) {
  return WithConnection(conn, int16_t{0}, [&](Connection& c) { return c.AbortWrite(); });
}

}  // extern "C"
