/* dembase: tiled raster pyramids of digital elevation models.
 *
 * The C interface of libdembase.so. Every call but _hxCreateDemBaseAI takes the
 * handle first; a null handle answers 0 (0.0 for the doubles) and does nothing.
 * Results: 1 success, 0 failure, negative codes for specific refusals:
 *   -1 not a DEM_INFO header file     -2 header version is not 0x4460
 *   -3 target already exists          -4 a level would need more than 4096 data files
 *   -5 pyramid level exists           -6 level out of range or not created
 * _hxBeginReadTile and _hxBeginReadTileData answer 2 for a tile with only null cells.
 *
 * Cell values: a double becomes an integer cell by truncation toward zero, saturated to
 * INT32_MIN .. INT32_MAX (NaN stores the null value), and a float cell by rounding to float.
 * With blending on, a written null value stores the null (it is never blended into a height).
 * Cells outside the open level are refused: _hxSetCell answers 0, _hxGetCell the null value
 * with isNull 1, as for a tile whose stored bytes cannot be read.
 *
 * Threads: a handle and everything below it must be used by one thread at a time;
 * separate handles share nothing. Records are packed and little-endian.
 */
#ifndef DEMBASE_DEMBASE_H_
#define DEMBASE_DEMBASE_H_

#include <stdint.h>

#ifdef __cplusplus
#define DEMBASE_STATIC_ASSERT(c, m) static_assert(c, m)
extern "C" {
#else
#define DEMBASE_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

#if defined(_WIN32)
#define DEMBASE_API __declspec(dllexport)
#else
#define DEMBASE_API __attribute__((visibility("default")))
#endif

/* Data-set id of the local file store. */
#define LOCAL_DATASET_ID 0x7FFFFFF8

/* Cell data types. */
#define DEMBASE_TYPE_INT32 6
#define DEMBASE_TYPE_FLOAT32 7

/* Null cell values: integer layers, and the bit pattern of float layers' null. */
#define DEMBASE_NULL_INT32 2100000000
#define DEMBASE_NULL_FLOAT32_BITS 0x7EFFFFEEu

/* Longest path that a record or an output buffer holds, terminating zero included. */
#define DEMBASE_MAX_PATH 260

#pragma pack(push, 1)

/* Describes a raster-database data set; conn == NULL in _hxOpenDataSet means the local store. */
typedef struct DbConnectInfo {
  char dataSet[128];     /* the data set's name */
  int32_t connectKind;   /* 1 SQLite, 2 PostgreSQL */
  char connectArg1[128]; /* SQLite: database file; PostgreSQL: connection string */
  char connectArg2[32];
  char connectArg3[32];
} DbConnectInfo;

/* The layer description. */
typedef struct DataLayerParam {
  uint8_t reserved0;   /* kept, never interpreted */
  uint16_t dataType;   /* 6 int32 cells, 7 float cells */
  double xMin;
  double xMax;         /* snapped by _hxCreateDataLayer */
  double yMin;
  double yMax;         /* snapped by _hxCreateDataLayer */
  double cellSizeX;    /* level 1 */
  double cellSizeY;    /* level 1 */
  uint16_t reserved1;  /* kept, never interpreted */
  int16_t levelCount;  /* created pyramid levels; pass 0 at creation */
  double minValue;     /* smallest non-null cell of level 1 */
  double maxValue;     /* largest non-null cell of level 1 */
} DataLayerParam;

/* How written cells are stored; per open layer, never stored. */
typedef struct LayerOperParam {
  uint8_t compressTiles; /* default 1 */
  uint8_t blendValues;   /* default 1: stored*oldWeight + written*newWeight where stored is not null */
  float oldWeight;       /* default 0.0 */
  float newWeight;       /* default 1.0 */
} LayerOperParam;

/* Geometry of one pyramid level. */
typedef struct PyramidLayerInfo {
  uint8_t closedOnce;
  double cellSizeX;
  double cellSizeY;
  int32_t rows;        /* cells along y */
  int32_t cols;        /* cells along x */
  int16_t tileRows;    /* 256 */
  int16_t tileCols;    /* 256 */
  int32_t tilesDown;   /* (rows - 1) / 255 + 1 */
  int32_t tilesAcross; /* (cols - 1) / 255 + 1 */
} PyramidLayerInfo;

/* Where a tile's bytes are stored, and its statistics. */
typedef struct TileIndexRec {
  uint32_t offset;     /* local store: offset in the data file, 1 = nothing stored; database: tile key */
  uint8_t packed;      /* 1 zlib stream, 0 raw cells */
  uint32_t storedSize; /* stored bytes, 0 while nothing is stored */
  float tileMin;
  float tileMax;
} TileIndexRec;

/* One tile's description, for _hxGetOneTileInfo and _hxWriteOneTile. */
typedef struct OneTileInfo {
  int32_t size; /* bytes of tile data; 0 in _hxWriteOneTile: the tile holds no data */
  float minimum;
  float maximum;
} OneTileInfo;

#pragma pack(pop)

DEMBASE_STATIC_ASSERT(sizeof(DbConnectInfo) == 324, "DbConnectInfo is 324 bytes");
DEMBASE_STATIC_ASSERT(sizeof(DataLayerParam) == 71, "DataLayerParam is 71 bytes");
DEMBASE_STATIC_ASSERT(sizeof(LayerOperParam) == 10, "LayerOperParam is 10 bytes");
DEMBASE_STATIC_ASSERT(sizeof(PyramidLayerInfo) == 37, "PyramidLayerInfo is 37 bytes");
DEMBASE_STATIC_ASSERT(sizeof(TileIndexRec) == 17, "TileIndexRec is 17 bytes");
DEMBASE_STATIC_ASSERT(sizeof(OneTileInfo) == 12, "OneTileInfo is 12 bytes");

#ifdef __cplusplus
class DemBaseAI;
#else
typedef struct DemBaseAI DemBaseAI;
#endif

/* --- handle and data sets --- */

/* A new handle, or NULL when memory runs out. */
DEMBASE_API DemBaseAI* _hxCreateDemBaseAI(void);
/* Closes every data set and layer (no running sequence is ended) and frees the handle; 1. */
DEMBASE_API int16_t _hxDeleteDemBaseAI(DemBaseAI* h);
/* Opens the local store (conn NULL, id LOCAL_DATASET_ID) or a database data set; the
 * cache takes cacheFraction (clamped to 0.125 .. 0.5) of physical memory. Id, or 0. */
DEMBASE_API int32_t _hxOpenDataSet(DemBaseAI* h, const DbConnectInfo* conn, float cacheFraction);
/* 1 when closed, and also 1 (closing nothing) while layers are open; 0 when not open. */
DEMBASE_API int16_t _hxCloseDataSet(DemBaseAI* h, int32_t dataSetId);

/* --- layers --- */

/* Creates a layer with level 1; snaps param->xMax/yMax to whole cells (roundUp: complete a
 * partial cell). name: local store, the header file path; database, the layer name. */
DEMBASE_API int16_t _hxCreateDataLayer(DemBaseAI* h, int32_t dataSetId, const char* name,
                                       DataLayerParam* param, uint32_t dbExtra, uint8_t roundUp);
DEMBASE_API int16_t _hxDeleteDataLayer(DemBaseAI* h, int32_t dataSetId, const char* name);
/* Layer id >= 1, or 0 / a negative code. */
DEMBASE_API int32_t _hxOpenDataLayer(DemBaseAI* h, int32_t dataSetId, const char* name, uint32_t mode);
/* Closes the layer (an open level is written back first). 1; 0 when it is not open, or when
 * something could not be written (the layer is closed either way). */
DEMBASE_API int16_t _hxCloseDataLayer(DemBaseAI* h, int32_t dataSetId, int32_t layerId);
DEMBASE_API int16_t _hxGetDataLayerParam(DemBaseAI* h, int32_t dataSetId, int32_t layerId,
                                         DataLayerParam* out);
/* 1 when the layer is open. */
DEMBASE_API int16_t _hxSetLayerOperParam(DemBaseAI* h, int32_t dataSetId, int32_t layerId,
                                         const LayerOperParam* p);
DEMBASE_API int16_t _hxGetLayerOperParam(DemBaseAI* h, int32_t dataSetId, int32_t layerId,
                                         LayerOperParam* out);
/* Renames or copies a whole local layer by header path; 0 on a database data set. */
DEMBASE_API int16_t _hxRenameDataLayer(DemBaseAI* h, int32_t dataSetId, const char* oldName,
                                       const char* newName);
DEMBASE_API int16_t _hxCopyDataLayer(DemBaseAI* h, int32_t dataSetId, const char* sourceName,
                                     const char* targetName);
/* The layer's null value; 0.0 when the layer is not open. */
DEMBASE_API double _hxGetNullValue(DemBaseAI* h, int32_t dataSetId, int32_t layerId);
/* 1 when value counts as the layer's null value. */
DEMBASE_API int16_t _hxIsNullValue(DemBaseAI* h, int32_t dataSetId, int32_t layerId, double value);

/* --- pyramid levels (numbered from 1) --- */

DEMBASE_API int16_t _hxCreatePyramidLayer(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level,
                                          double cellSizeFirst, double cellSizeSecond);
DEMBASE_API int16_t _hxDeletePyramidLayer(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level);
DEMBASE_API int16_t _hxGetPyramidLayerInfo(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level,
                                           PyramidLayerInfo* out);
/* Opens one level for cell and tile calls (sizes the data set's cache the first time). */
DEMBASE_API int16_t _hxOpenPyramidLayer(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level);
/* Writes dirty tiles and the tile index; 0 when something could not be written. */
DEMBASE_API int16_t _hxClosePyramidLayer(DemBaseAI* h, int32_t dataSetId, int32_t layerId);

/* --- cells and tiles of the open level (level must be the open one; reserved is ignored) --- */

DEMBASE_API int16_t _hxGetOneTileInfo(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level,
                                      int32_t reserved, int32_t tileRow, int32_t tileCol, OneTileInfo* out);
DEMBASE_API int16_t _hxSetCell(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level,
                               int32_t reserved, int32_t row, int32_t col, double value);
/* The cell's value; *isNull is 1 for the null value. 0.0 (isNull untouched) when the call is refused. */
DEMBASE_API double _hxGetCell(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level,
                              int32_t reserved, int32_t row, int32_t col, uint8_t* isNull);

/* Tile write: Begin, WriteCellOfTile for in-tile (row, col) 0..255, End. keep 0 discards the
 * tile's unwritten changes (those made before Begin included) only when the tile already held
 * unwritten changes at Begin; a tile unchanged at Begin keeps what the sequence wrote. */
DEMBASE_API int16_t _hxBeginWriteTile(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level,
                                      int32_t reserved, int32_t tileRow, int32_t tileCol);
DEMBASE_API void _hxWriteCellOfTile(DemBaseAI* h, int32_t row, int32_t col, double value);
DEMBASE_API int16_t _hxEndWriteTile(DemBaseAI* h, uint8_t keep);

/* Tile read: Begin (2 = only nulls), ReadCellOfTile, End. */
DEMBASE_API int16_t _hxBeginReadTile(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level,
                                     int32_t reserved, int32_t tileRow, int32_t tileCol);
DEMBASE_API int16_t _hxReadCellOfTile(DemBaseAI* h, int32_t row, int32_t col, double* value, uint8_t* isNull);
DEMBASE_API int16_t _hxEndReadTile(DemBaseAI* h);

/* Whole-level write of a level that is not open: Begin, WriteOneTile per tile, End. */
DEMBASE_API int16_t _hxBeginWritePyramidLayer(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level);
/* cells: 256 x 256 cells of the layer's type, row-major; info->size 0 means an empty tile. */
DEMBASE_API int16_t _hxWriteOneTile(DemBaseAI* h, int32_t reserved, int32_t tileIndex, OneTileInfo* info,
                                    const void* cells);
DEMBASE_API int16_t _hxEndWritePyramidLayer(DemBaseAI* h);

/* Tile-data read of one tile of a level that is not open: Begin (2 = only nulls), Read, End. */
DEMBASE_API int16_t _hxBeginReadTileData(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level,
                                         int32_t reserved, int32_t tileRow, int32_t tileCol);
DEMBASE_API int16_t _hxReadCellOfTileData(DemBaseAI* h, int32_t row, int32_t col, double* value,
                                          uint8_t* isNull);
DEMBASE_API int16_t _hxEndReadTileData(DemBaseAI* h);

/* --- value attribute tables (integer local layers) ---
 * A level's table lists its distinct values with their cell counts; libdemvat.so, loaded
 * from the directory that holds libdembase.so, keeps it (its header, demvat.h, says what
 * items, item sets and results mean). One table per layer is open at a time, for any
 * created level; closing the layer closes it. Database layers answer 0 to all six. */

/* nameOut needs room for DEMBASE_MAX_PATH bytes and receives the table's path in the
 * system's form. 1 found, -1 no table file, 0 refused (level 0 included). */
DEMBASE_API int16_t _hxGetPyLayerVatName(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level,
                                         char* nameOut);
/* create 0 opens an existing table (-1 none), nonzero creates one (-2 exists). */
DEMBASE_API int16_t _hxOpenPyLayerVAT(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int16_t level,
                                      uint32_t create);
DEMBASE_API int16_t _hxClosePyLayerVAT(DemBaseAI* h, int32_t dataSetId, int32_t layerId);
/* With libdemvat: item is a cell value and the answer its item number (0: no such value);
 * _hxSetBaseItemSet puts item number itemSet into class count; _hxGetBaseItemSet answers
 * the class of item number itemSet. The library's negative codes come back unchanged. */
DEMBASE_API int16_t _hxGetItemNum(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int32_t item);
DEMBASE_API int16_t _hxSetBaseItemSet(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int32_t itemSet,
                                      int32_t count);
DEMBASE_API int16_t _hxGetBaseItemSet(DemBaseAI* h, int32_t dataSetId, int32_t layerId, int32_t itemSet);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* DEMBASE_DEMBASE_H_ */
