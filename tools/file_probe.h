// What the tool learns about a layer's files before anything opens them: whether a path
// is a regular file (a FIFO or device would block or never end), and whether another
// process holds the layer open. The library marks every open file with OFD locks on
// the four bytes from 2^62; a lock there held by anyone else means another open.
#ifndef DEMBASE_TOOLS_FILE_PROBE_H_
#define DEMBASE_TOOLS_FILE_PROBE_H_

#include <string>

namespace dembase::tool {

enum class FileKind { kMissing, kRegular, kOther };

// Follows symbolic links, as opening the path does.
FileKind KindOf(const std::string& path);

// Whether anything is at path, a dangling symbolic link included: what would block a new file.
bool Occupied(const std::string& path);

// True when another open file description holds a lock on the library's lock bytes of
// path (false when the file cannot be opened or queried).
bool HeldOpenElsewhere(const std::string& path);

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_FILE_PROBE_H_
