/* libdemvat: value attribute tables of integer pyramid levels (".WB" files).
 *
 * A table lists the distinct values of one int32 level with the number of cells that hold
 * each (a land-cover or zone raster), and lets a caller put each value into a class.
 *
 *   item      a distinct value of the level. Items are numbered 1..N in ascending order of
 *             value; N is at most DEMVAT_MAX_ITEMS, so every item number fits the 16-bit
 *             results that libdembase hands back. Levels with more distinct values (a
 *             continuous DEM) get no table: it is meant for class rasters.
 *   item set  a class: a number 1..DEMVAT_MAX_ITEM_SETS that the caller chooses (a legend
 *             code, say). Every item belongs to at most one class, its base item set;
 *             0 means none.
 *
 * libdembase loads this library at run time, by absolute path from the directory that
 * holds libdembase.so, when a table is opened, and unloads it when the table is closed. It
 * calls the first six entry points; the DemVat* calls below them are for tools (the
 * dembase tool builds and shows tables with them) and take paths, not handles.
 *
 * Results are 32-bit. A table handle is > 0. Failures are the negative DEMVAT_E_* codes.
 * Every call is thread-safe; handles are small integers into a table of open tables, and
 * a handle that was closed is refused, never mistaken for a later one.
 *
 * An open table lives in memory; the file is read whole when the table is opened and
 * written whole when it is closed after a change. Every write goes to a temporary file
 * beside the table, is synced and then renamed over the old file (and the directory
 * synced), so a crash leaves either the old table or the new one, never a mix. When two
 * writers replace the same table, the last one wins.
 *
 * The file format (version 1), all integers little-endian:
 *
 *   offset        size  field
 *   0             8     signature "DEMVAT\r\n"
 *   8             4     uint32 format version, 1
 *   12            4     uint32 item count N, 0..DEMVAT_MAX_ITEMS
 *   16 + 16 i     4     int32  value of item i + 1 (strictly ascending, never the null
 *                       value 2100000000)
 *   20 + 16 i     8     uint64 cells holding that value, >= 1
 *   28 + 16 i     2     uint16 class of the item, 0..DEMVAT_MAX_ITEM_SETS
 *   30 + 16 i     2     uint16 reserved, 0
 *   16 + 16 N     4     uint32 CRC-32 (the polynomial of zlib's crc32) of every byte before it
 *
 * A file of any other length, with another signature, a failed checksum or a field out of
 * its range is refused as DEMVAT_E_CORRUPT; one of another version as DEMVAT_E_VERSION.
 * Nothing is read past the end of the file.
 */
#ifndef DEMBASE_VAT_DEMVAT_H_
#define DEMBASE_VAT_DEMVAT_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DEMVAT_API __attribute__((visibility("default")))

#define DEMVAT_FORMAT_VERSION 1
#define DEMVAT_MAX_ITEMS 32767
#define DEMVAT_MAX_ITEM_SETS 32767

#define DEMVAT_E_ARGUMENT (-1) /* unknown handle, item or class out of range, null pointer */
#define DEMVAT_E_IO (-2)       /* no such file, unreadable, or a write that failed (the old table stays) */
#define DEMVAT_E_CORRUPT (-3)  /* not a table: wrong length, signature, checksum or field */
#define DEMVAT_E_VERSION (-4)  /* a table of another format version */
#define DEMVAT_E_EXISTS (-5)   /* CreateVatFile: something exists at the path */
#define DEMVAT_E_LIMIT (-6)    /* more than DEMVAT_MAX_ITEMS items, or too many open tables */

/* Writes an empty table at path and opens it: the handle. Refuses (DEMVAT_E_EXISTS) when
 * anything exists at path. The three reserved arguments are ignored. */
DEMVAT_API int32_t CreateVatFile(const char* path, int32_t reserved1, int32_t reserved2, int32_t reserved3);
/* Reads the table at path and opens it: the handle. */
DEMVAT_API int32_t OpenVatFile(const char* path, int32_t reserved1, int32_t reserved2, int32_t reserved3);
/* Writes the table back when a class changed, then forgets the handle (whatever the write
 * did): 1, or DEMVAT_E_IO when the changes could not be written. */
DEMVAT_API int32_t CloseVatFile(int32_t table);
/* The item number (1..N) of a cell value; 0 when no cell of the level holds it. */
DEMVAT_API int32_t GetItemNum(int32_t table, int32_t value);
/* Makes class itemSet (0..DEMVAT_MAX_ITEM_SETS; 0 takes the item out of its class) the base
 * item set of item number item: 1. libdembase's layer passes (itemSet, count) here and
 * refuses itemSet 0 and count < 1: the item and its class, both numbered from 1. */
DEMVAT_API int32_t SetBaseItemSet(int32_t table, int32_t item, int32_t itemSet);
/* The class (base item set) of item number item, 0 when it has none. */
DEMVAT_API int32_t GetBaseItemSet(int32_t table, int32_t item);

/* One item of a table, for the DemVat* calls (an in-memory struct, not the file layout). */
typedef struct DemVatItem {
  int32_t value;
  int32_t itemSet; /* 0..DEMVAT_MAX_ITEM_SETS */
  uint64_t cells;  /* >= 1 */
} DemVatItem;

/* Writes a whole table at path, replacing what is there: count items (0..DEMVAT_MAX_ITEMS)
 * in strictly ascending order of value. 1, or a code (the file is then unchanged). */
DEMVAT_API int32_t DemVatWriteTable(const char* path, const DemVatItem* items, int32_t count);
/* Reads the table at path: its item count N >= 0, of which the first min(N, capacity)
 * items are copied to items (which may be null when capacity is 0); or a code < 0. */
DEMVAT_API int32_t DemVatReadTable(const char* path, DemVatItem* items, int32_t capacity);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* DEMBASE_VAT_DEMVAT_H_ */
