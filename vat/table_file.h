// Reading and replacing a table file. The library's only system calls.
#ifndef DEMBASE_VAT_TABLE_FILE_H_
#define DEMBASE_VAT_TABLE_FILE_H_

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace dembase::vat {

// Reads the whole regular file at path when it is at most maxBytes long: 1, or
// DEMVAT_E_IO (missing, unreadable, not a regular file, shrunk while read) or
// DEMVAT_E_CORRUPT (longer than any table).
int32_t ReadWholeFile(const std::string& path, size_t maxBytes, std::vector<uint8_t>* out);

// Puts bytes at path through a synced temporary file beside it, so a crash leaves the
// old file or the new one. With replace false, an existing file is kept and the result is
// DEMVAT_E_EXISTS. 1, or DEMVAT_E_IO; on failure the temporary file is removed.
int32_t WriteFileAtomically(const std::string& path, std::span<const uint8_t> bytes, bool replace);

// Test seam: the Nth file-system call of the writes from now on fails with EIO, once (0
// disarms); and whether it has.
void FailNthCallForTesting(int64_t n);
bool CallFailedForTesting();

}  // namespace dembase::vat

#endif  // DEMBASE_VAT_TABLE_FILE_H_
