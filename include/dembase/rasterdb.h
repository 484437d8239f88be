/* librasterdb: layers, pyramid levels, tile records and tile bytes kept in a database.
 *
 * Backends, chosen by DbConnectInfo.connectKind in DbConnect:
 *   1  SQLite: connectArg1 is the database file (created on first use).
 *   2  PostgreSQL through libpq (later).
 * A connection handle is a small integer (0 = failure). Every call but DbConnect takes it
 * first. Levels are numbered from 1; a tile number is the row-major tile index + 1.
 * Records are the packed little-endian records of dembase.h, stored byte for byte.
 * Results are signed 16-bit unless noted: >= 1 success, <= 0 failure.
 *
 * Threads: one connection must be used by one thread at a time.
 */
#ifndef DEMBASE_RASTERDB_H_
#define DEMBASE_RASTERDB_H_

#include <stdint.h>

#include "dembase/dembase.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define RASTERDB_API __declspec(dllexport)
#else
#define RASTERDB_API __attribute__((visibility("default")))
#endif

#define RASTERDB_KIND_SQLITE 1
#define RASTERDB_KIND_POSTGRESQL 2

/* --- connections and data sets --- */

/* A connection handle, 0 on failure. */
RASTERDB_API uint32_t DbConnect(int32_t connectKind, const char* connectArg1, const char* connectArg2,
                                const char* connectArg3);
RASTERDB_API void DbDisconnect(uint32_t conn);
/* Opens the data set named info->dataSet, creating it the first time; id >= 1, or 0. */
RASTERDB_API int32_t DbOpenDataSet(uint32_t conn, const DbConnectInfo* info);
RASTERDB_API void DbCloseDataSet(uint32_t conn, int32_t dataSetId);

/* --- layers --- */

/* dbExtra is the caller's value, kept with the layer. 1, or <= 0 (0 also when the name is taken). */
RASTERDB_API int16_t DbCreateLayer(uint32_t conn, int32_t dataSetId, const char* name,
                                   const DataLayerParam* param, uint32_t dbExtra);
/* Deletes the layer with its levels and tiles. */
RASTERDB_API int16_t DbDeleteLayer(uint32_t conn, int32_t dataSetId, const char* name);
/* Layer id >= 1, or 0. */
RASTERDB_API int32_t DbOpenLayer(uint32_t conn, int32_t dataSetId, const char* name);
RASTERDB_API void DbCloseLayer(uint32_t conn, int32_t dataSetId, int32_t layerId);
RASTERDB_API int16_t DbGetLayerParam(uint32_t conn, int32_t layerId, DataLayerParam* out);
/* Callers need not read the result; it reports whether the record was written. */
RASTERDB_API int16_t DbSetLayerParam(uint32_t conn, int32_t layerId, const DataLayerParam* param);

/* --- levels --- */

/* Creates the level with tilesDown x tilesAcross tile records, all nothing-stored, each
 * with its own tile key. */
RASTERDB_API int16_t DbCreateLevel(uint32_t conn, int32_t layerId, int16_t level, const PyramidLayerInfo* info);
RASTERDB_API int16_t DbDeleteLevel(uint32_t conn, int32_t layerId, int16_t level);
RASTERDB_API int16_t DbGetLevelInfo(uint32_t conn, int32_t layerId, int16_t level, PyramidLayerInfo* out);
RASTERDB_API int16_t DbSetLevelInfo(uint32_t conn, int32_t layerId, int16_t level,
                                    const PyramidLayerInfo* info);

/* --- tile records and bytes --- */

/* Fills tilesDown x tilesAcross records of the level (out must have room), keys included. */
RASTERDB_API int16_t DbReadTileIndex(uint32_t conn, int32_t layerId, int16_t level, TileIndexRec* out);
/* count must equal the level's tile count. Keys are kept as stored. */
RASTERDB_API int16_t DbWriteTileIndex(uint32_t conn, int32_t layerId, int16_t level, const TileIndexRec* index,
                                      int32_t count);
RASTERDB_API int16_t DbReadTileRec(uint32_t conn, int32_t layerId, int16_t level, int32_t tileNumber,
                                   TileIndexRec* out);
RASTERDB_API int16_t DbWriteTileRec(uint32_t conn, int32_t layerId, int16_t level, int32_t tileNumber,
                                    const TileIndexRec* rec);
/* length must equal the number of bytes stored under the key. */
RASTERDB_API int16_t DbReadTileData(uint32_t conn, int32_t layerId, uint32_t tileKey, uint32_t length,
                                    void* buffer);
RASTERDB_API int16_t DbWriteTileData(uint32_t conn, int32_t layerId, uint32_t tileKey, const void* bytes,
                                     uint32_t length);

/* --- write batches: one transaction on one layer and level --- */

/* > 0 when the batch is open. */
RASTERDB_API int16_t DbBeginWrite(uint32_t conn, int32_t layerId, int16_t level);
RASTERDB_API int16_t DbPutTileRec(uint32_t conn, int32_t tileNumber, const TileIndexRec* rec);
RASTERDB_API int16_t DbPutTileData(uint32_t conn, uint32_t tileKey, const void* bytes, uint32_t length);
/* Commits the batch; the result reports whether the commit succeeded (callers may ignore it). */
RASTERDB_API int16_t DbEndWrite(uint32_t conn);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* DEMBASE_RASTERDB_H_ */
