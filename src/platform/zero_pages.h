// Zero-filled memory straight from the system: its pages are mapped on first touch, so a
// large table of which only parts are ever used costs only those parts.
#ifndef DEMBASE_PLATFORM_ZERO_PAGES_H_
#define DEMBASE_PLATFORM_ZERO_PAGES_H_

#include <cstddef>

namespace dembase::platform {

// bytes of zeroed memory, or null. Release with UnmapZeroPages and the same size.
void* MapZeroPages(size_t bytes);
void UnmapZeroPages(void* p, size_t bytes);

}  // namespace dembase::platform

#endif  // DEMBASE_PLATFORM_ZERO_PAGES_H_
