/* libdemvat: value attribute tables of integer pyramid levels (".WB" files).
 *
 * dembase loads this library at run time, by absolute path from the directory that holds
 * libdembase.so, when a table is opened, and unloads it when the table is closed.
 * Results are 32-bit; a table handle is > 0, anything else is failure. The table format
 * is not implemented yet: every call refuses (0).
 */
#ifndef DEMBASE_VAT_DEMVAT_H_
#define DEMBASE_VAT_DEMVAT_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DEMVAT_API __attribute__((visibility("default")))

/* Create a table file at path (which must not exist) and open it; the three ints are 0. */
DEMVAT_API int32_t CreateVatFile(const char* path, int32_t reserved1, int32_t reserved2, int32_t reserved3);
/* Open an existing table file. */
DEMVAT_API int32_t OpenVatFile(const char* path, int32_t reserved1, int32_t reserved2, int32_t reserved3);
DEMVAT_API int32_t CloseVatFile(int32_t table);
DEMVAT_API int32_t GetItemNum(int32_t table, int32_t item);
DEMVAT_API int32_t SetBaseItemSet(int32_t table, int32_t itemSet, int32_t count);
DEMVAT_API int32_t GetBaseItemSet(int32_t table, int32_t itemSet);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* DEMBASE_VAT_DEMVAT_H_ */
