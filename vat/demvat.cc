#include "demvat.h"

// Until the table format exists every entry point refuses, so callers see a clean failure.
extern "C" {

int32_t CreateVatFile(const char*, int32_t, int32_t, int32_t) { return 0; }
int32_t OpenVatFile(const char*, int32_t, int32_t, int32_t) { return 0; }
int32_t CloseVatFile(int32_t) { return 0; }
int32_t GetItemNum(int32_t, int32_t) { return 0; }
int32_t SetBaseItemSet(int32_t, int32_t, int32_t) { return 0; }
int32_t GetBaseItemSet(int32_t, int32_t) { return 0; }

}  // extern "C"
