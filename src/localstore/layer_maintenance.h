// Whole local layers that are not open: deleting, renaming and copying them on disk.
//
// Each operation first takes the layer's header unshared and keeps it to the end, so a
// layer open anywhere is refused (0) and nobody opens it meanwhile.
//
// Renaming and copying are all or nothing. The new layer is staged beside its final
// header: a header at NEW.partial (kStagingSuffix), written and synced before anything
// else, names every level directory about to be made, so an interrupted attempt is
// journaled. Then each level directory is made and filled: copies of the files, or for a
// rename second names of the same files (copies across file systems). Renaming the
// staged header to NEW is the one step that makes the new layer appear; a rename then
// removes the old header and the old names. A failure before that point removes what
// was made, and the next attempt at the same new name removes what an interrupted one
// left. New level directories are named for the new layer by position (NEW, NEW_1, ...),
// skipping names that are taken, whatever the old ones were called, and are made beside
// the new header, so a layer renamed into another directory takes its levels along.
//
// Results: 1; 0 (bad path, missing, open anywhere, unreadable, a level that cannot be
// read, an I/O failure or memory running out: nothing changed); -1 not a layer header;
// -2 wrong version; -3 something exists at the new path.
#ifndef DEMBASE_LOCALSTORE_LAYER_MAINTENANCE_H_
#define DEMBASE_LOCALSTORE_LAYER_MAINTENANCE_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace dembase {

inline constexpr std::string_view kStagingSuffix = ".partial";

// The header goes first, so from then on nobody opens the layer, and level files a
// failure leaves behind are leftovers that no header names.
int16_t DeleteLayerFiles(const std::string& path);

int16_t RenameLayerFiles(const std::string& oldPath, const std::string& newPath);

// The source is never changed.
int16_t CopyLayerFiles(const std::string& sourcePath, const std::string& targetPath);

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_LAYER_MAINTENANCE_H_
