/* librasterdb: layers, pyramid levels, tile records and tile bytes kept in a database.
 *
 * Backends, chosen by DbConnectInfo.connectKind in DbConnect:
 *   1  SQLite: connectArg1 is the database file (1..4095 bytes; created on first use, as is
 *      an empty file); connectArg2/3 are unused. A file that is not SQLite, or a SQLite file
 *      with another application_id or user_version (or tables of its own), is refused (0) and
 *      left untouched. Journal mode WAL: readers in other connections and processes never
 *      wait for a batch; a writer waits up to 5 s for another connection's batch, then is
 *      refused. A new file takes 64 KiB pages, so a tile's bytes span a few pages.
 *   2  PostgreSQL through libpq (see RASTERDB_KIND_POSTGRESQL). Any other kind is refused.
 * A connection handle is a small integer (0 = failure), counted up per process: a closed
 * handle's number is not handed out again until the counter has gone round 2^32. Every call but
 * DbConnect takes it first; an unknown handle is refused. Levels are numbered 1..32767; a tile
 * number is the row-major tile index + 1. Records are the packed little-endian records of
 * dembase.h, stored byte for byte.
 * Results are signed 16-bit unless noted: >= 1 success, <= 0 failure. Outputs hold meaning
 * only after success: a call refused midway may have written part of its output
 * (DbReadTileIndex fills records as it reads them). Bad input (null pointers, unknown ids, levels or tile numbers outside the level,
 * lengths that do not match the stored bytes) is refused, never trusted.
 *
 * Names and ids: data-set names (NUL-terminated inside DbConnectInfo.dataSet) and layer names
 * (1..255 bytes) are compared ignoring ASCII case. Data-set and layer ids are row ids >= 1,
 * never reused. Calls that name a layer id reach only layers opened on this connection with
 * DbOpenLayer; opens are counted and each DbCloseLayer undoes one; DbCloseDataSet (its last
 * open) closes the data set's layers.
 *
 * Write batches: DbBeginWrite .. DbEndWrite is one transaction on one layer and level, at most
 * one per connection. Every write outside a batch is its own transaction, except while a batch
 * runs on the same connection: then it joins the batch (SQLite has one writer) and commits or
 * rolls back with it. A batch not ended by DbEndWrite is rolled back when its layer's last open
 * is closed, its data set is closed or the connection is closed.
 *
 * SQLite schema (application_id 0x44454D52, user_version 1), readable with the sqlite3 shell:
 *   meta(name TEXT PRIMARY KEY, value INTEGER)  -- 'next_tile_key': first key never handed out
 *   data_sets(data_set_id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT UNIQUE COLLATE NOCASE)
 *   layers(layer_id INTEGER PRIMARY KEY AUTOINCREMENT, data_set_id, name COLLATE NOCASE,
 *          db_extra, data_type, level_count, x_min, x_max, y_min, y_max, cell_size_x,
 *          cell_size_y, min_value, max_value,   -- readable copies of the record
 *          param BLOB(71): the DataLayerParam; UNIQUE (data_set_id, name))
 *   levels(layer_id, level 1..32767, cell_rows, cell_cols, tiles_down, tiles_across,
 *          closed_once, first_tile_key,         -- readable copies; keys of the level are
 *          info BLOB(37): the PyramidLayerInfo;     first_tile_key + tile_number - 1
 *          PRIMARY KEY (layer_id, level))
 *   tiles(tile_key INTEGER PRIMARY KEY (1..2^32-1, never reused), layer_id, level, tile_number,
 *         rec BLOB(17): the TileIndexRec, its offset field = tile_key,
 *         data BLOB: the stored bytes, NULL while nothing is stored;
 *         UNIQUE (layer_id, level, tile_number))
 *
 * Threads: one connection must be used by one thread at a time (calls on one handle are
 * serialised, so misuse is slow, not unsafe). Separate connections share nothing but the
 * handle table. A connection must not be used in a child process after fork.
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

/* connectArg1 is the database file; connectArg2 and connectArg3 are ignored. */
#define RASTERDB_KIND_SQLITE 1
/* connectArg1 is a libpq connection string or URI, connectArg2 the user and connectArg3 the
 * password, each overriding the string when not empty. Readers see committed data only, each
 * call (and each DbReadTileIndex) one consistent snapshot, and never wait for a writer; writers
 * of different layers proceed side by side. A connection whose server goes away refuses every
 * later call: a batch then ends refused with nothing of it stored, and the server, once back,
 * holds each tile as the last committed batch left it (or, when the stop came while a commit's
 * answer was on its way, as that batch wrote it). Time limits: connecting gives up after 10 s;
 * a statement waiting for another session's lock fails after 5 s, any statement after 120 s; a
 * server that stops or ends the session is noticed at once, one that drops off the network
 * after 60 s without acknowledgement (TCP). */
#define RASTERDB_KIND_POSTGRESQL 2

/* --- connections and data sets --- */

/* A connection handle, 0 on failure (unknown kind, unusable or foreign database). */
RASTERDB_API uint32_t DbConnect(int32_t connectKind, const char* connectArg1, const char* connectArg2,
                                const char* connectArg3);
RASTERDB_API void DbDisconnect(uint32_t conn);
/* The connectKind the connection was made with, 0 for a handle that is not open. */
RASTERDB_API int32_t DbConnectionKind(uint32_t conn);
/* Opens the data set named info->dataSet, creating it the first time; id >= 1, or 0. Only
 * info->dataSet is read. */
RASTERDB_API int32_t DbOpenDataSet(uint32_t conn, const DbConnectInfo* info);
RASTERDB_API void DbCloseDataSet(uint32_t conn, int32_t dataSetId);

/* --- layers --- */

/* dbExtra is the caller's value, kept with the layer. 1, or <= 0 (0 also when the name is taken
 * or dataType is not 6 or 7). param->levelCount is stored as 0: the database counts the levels
 * that exist and keeps that count in the record. */
RASTERDB_API int16_t DbCreateLayer(uint32_t conn, int32_t dataSetId, const char* name,
                                   const DataLayerParam* param, uint32_t dbExtra);
/* Deletes the layer with its levels and tiles; 0 for the layer of this connection's batch. */
RASTERDB_API int16_t DbDeleteLayer(uint32_t conn, int32_t dataSetId, const char* name);
/* Layer id >= 1, or 0. Opening a name twice gives the same id and counts two opens. */
RASTERDB_API int32_t DbOpenLayer(uint32_t conn, int32_t dataSetId, const char* name);
RASTERDB_API void DbCloseLayer(uint32_t conn, int32_t dataSetId, int32_t layerId);
RASTERDB_API int16_t DbGetLayerParam(uint32_t conn, int32_t layerId, DataLayerParam* out);
/* Callers need not read the result; it reports whether the record was written. The stored
 * levelCount is kept whatever param says; a different dataType is refused (the stored tiles
 * were made for the old one). */
RASTERDB_API int16_t DbSetLayerParam(uint32_t conn, int32_t layerId, const DataLayerParam* param);

/* --- levels --- */

/* Creates the level with tilesDown x tilesAcross tile records, all nothing-stored (packed 0,
 * storedSize 0, tileMin = tileMax = the layer's null value as float), each with its own tile
 * key in the offset field. -5 when the level exists; 0 for nonsensical geometry (any of rows,
 * cols, tileRows, tileCols, tilesDown, tilesAcross <= 0, or more than 2^24 tiles). */
RASTERDB_API int16_t DbCreateLevel(uint32_t conn, int32_t layerId, int16_t level, const PyramidLayerInfo* info);
/* 0 for the level of this connection's batch. */
RASTERDB_API int16_t DbDeleteLevel(uint32_t conn, int32_t layerId, int16_t level);
RASTERDB_API int16_t DbGetLevelInfo(uint32_t conn, int32_t layerId, int16_t level, PyramidLayerInfo* out);
/* Refused when tilesDown or tilesAcross differ from the level's: its tile records stay. */
RASTERDB_API int16_t DbSetLevelInfo(uint32_t conn, int32_t layerId, int16_t level,
                                    const PyramidLayerInfo* info);

/* --- tile records and bytes --- */

/* Fills tilesDown x tilesAcross records of the level, keys included. out must have room for
 * the tile count of the level as this connection last learned it from DbGetLevelInfo or
 * DbCreateLevel; refused when it did not learn it, or when the level has changed since. */
RASTERDB_API int16_t DbReadTileIndex(uint32_t conn, int32_t layerId, int16_t level, TileIndexRec* out);
/* count must equal the level's tile count. Keys are kept as stored: the offset fields of
 * index are ignored, here and in DbWriteTileRec and DbPutTileRec. */
RASTERDB_API int16_t DbWriteTileIndex(uint32_t conn, int32_t layerId, int16_t level, const TileIndexRec* index,
                                      int32_t count);
RASTERDB_API int16_t DbReadTileRec(uint32_t conn, int32_t layerId, int16_t level, int32_t tileNumber,
                                   TileIndexRec* out);
RASTERDB_API int16_t DbWriteTileRec(uint32_t conn, int32_t layerId, int16_t level, int32_t tileNumber,
                                    const TileIndexRec* rec);
/* length must equal the number of bytes stored under the key, which must belong to the layer.
 * A key with nothing stored answers 1 for length 0 and 0 otherwise. */
RASTERDB_API int16_t DbReadTileData(uint32_t conn, int32_t layerId, uint32_t tileKey, uint32_t length,
                                    void* buffer);
/* Replaces the bytes under the key (of this layer). length 0..4 MiB; 0 stores nothing. */
RASTERDB_API int16_t DbWriteTileData(uint32_t conn, int32_t layerId, uint32_t tileKey, const void* bytes,
                                     uint32_t length);

/* --- write batches: one transaction on one layer and level --- */

/* > 0 when the batch is open; 0 when one already runs on this connection or the level does
 * not exist. Takes the database's write lock for the batch's duration. */
RASTERDB_API int16_t DbBeginWrite(uint32_t conn, int32_t layerId, int16_t level);
/* Inside a batch only; tile numbers and keys must belong to the batch's layer and level. */
RASTERDB_API int16_t DbPutTileRec(uint32_t conn, int32_t tileNumber, const TileIndexRec* rec);
RASTERDB_API int16_t DbPutTileData(uint32_t conn, uint32_t tileKey, const void* bytes, uint32_t length);
/* Commits the batch; the result reports whether the commit succeeded (callers may ignore it).
 * 0 also when no batch runs, or when the database rolled the batch back after an error: then
 * nothing of it was stored. */
RASTERDB_API int16_t DbEndWrite(uint32_t conn);
/* Rolls the batch back: nothing of it is stored. 0 when no batch runs. For a writer that
 * cannot finish what it began (a tile's bytes in without its record). */
RASTERDB_API int16_t DbAbortWrite(uint32_t conn);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* DEMBASE_RASTERDB_H_ */
