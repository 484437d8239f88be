// Every path of a local layer, built in one place.
//
// A layer is named by its header file path. From it come the layer directory (drive
// and directory, with its trailing separator, as the caller wrote it) and the layer
// name (the file name without extension). Each level's paths are stored relative to
// the layer directory in its PyramidLevelRec, always with '\' separators:
//   level 1: base = layer name     hill\   hill\hill.Hdr     hill\hill.Dem
//   level L: base = name_<L-1>     hill_1\ hill_1\hill_1.Hdr hill_1\hill_1.Dem
// Data file i >= 1 appends i to the file name of data file 0 (hill\hill2.Dem); the
// value attribute table sits beside the level header with extension .WB.
//
// Both '\' and '/' separate components. Nothing here truncates: a result that would
// not fit its record field or the path limit is refused (nullopt / false).
#ifndef DEMBASE_LOCALSTORE_FILE_NAMES_H_
#define DEMBASE_LOCALSTORE_FILE_NAMES_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "dembase/dembase.h"
#include "localstore/records.h"

namespace dembase {

// Longest full path, in characters (the limit counts the terminating NUL).
inline constexpr size_t kMaxPathLength = DEMBASE_MAX_PATH - 1;
// Longest layer directory: it is kept in a 256-byte field.
inline constexpr size_t kMaxLayerDirLength = 255;

constexpr bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

// A path cut like the platform splitter does: drive "C:" (when the second character
// is ':'), directory up to and including the last separator, file name, extension
// from the last '.' of the last component (dot included).
struct PathParts {
  std::string drive;
  std::string dir;
  std::string fname;
  std::string ext;
};

PathParts SplitPath(std::string_view path);
// Joins the parts again; a directory without a trailing separator gets a '\', an
// extension without a leading dot gets one.
std::string JoinPath(const PathParts& parts);

// Layer directory of a header path (may be empty: the current directory).
[[nodiscard]] std::optional<std::string> LayerDirectory(std::string_view headerPath);
// Layer name of a header path; refused when empty, "." or "..", which could not name
// a directory of its own.
[[nodiscard]] std::optional<std::string> LayerName(std::string_view headerPath);

// The not-yet-created record of level `level` (>= 1) of layer `layerName`.
[[nodiscard]] std::optional<PyramidLevelRec> MakeLevelRecord(std::string_view layerName, int level);

// Whether a stored relative path stays inside the layer directory: no drive, no
// leading separator, no "." or ".." component. The empty path is safe (it names
// nothing; users refuse it where they need a name).
[[nodiscard]] bool IsSafeStoredPath(std::string_view relative);

// layerDir + relative: the path the system opens. Refuses an unsafe relative path and
// a result longer than kMaxPathLength.
[[nodiscard]] std::optional<std::string> SystemPath(std::string_view layerDir, std::string_view relative);

// Data file `index` of a level, from the path of data file 0: index < 1 gives it
// unchanged; otherwise the index in decimal follows the file name.
[[nodiscard]] std::optional<std::string> DataFilePath(std::string_view first, int index);

// The value attribute table of a level: layerDir + the directory and file name of the
// record's header path + ".WB".
[[nodiscard]] std::optional<std::string> VatFilePath(std::string_view layerDir, std::string_view headerPath);

// Whether every path of a level with dataFileCount data files fits the path limit.
[[nodiscard]] bool LevelPathsFit(std::string_view layerDir, const PyramidLevelRec& rec, int dataFileCount);

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_FILE_NAMES_H_
