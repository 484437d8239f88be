// Result codes of the local store's operations (1 success, 0 failure, these refusals).
#ifndef DEMBASE_LOCALSTORE_RESULT_CODES_H_
#define DEMBASE_LOCALSTORE_RESULT_CODES_H_

#include <cstdint>

namespace dembase {

inline constexpr int16_t kNotDemInfoFile = -1;    // the file does not start with "DEM_INFO"
inline constexpr int16_t kWrongVersion = -2;      // header version is not 0x4460
inline constexpr int16_t kAlreadyExists = -3;     // target path is taken
inline constexpr int16_t kTooManyDataFiles = -4;  // a level would need more than 4096 data files
inline constexpr int16_t kLevelExists = -5;
inline constexpr int16_t kNoSuchLevel = -6;       // out of range or not created

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_RESULT_CODES_H_
