// How a layer is named on the command line.
//
//   DIR/NAME                      layer NAME of the local store in directory DIR: header file
//                                 DIR/NAME.dem, levels in directories beside it ("NAME.dem"
//                                 is accepted too; a bare NAME lives in the current directory)
//   sqlite:PATH#DATASET/NAME      layer NAME of data set DATASET in the SQLite database PATH
//   postgresql:CONNINFO#DATASET/NAME   the same on PostgreSQL
#ifndef DEMBASE_TOOLS_LAYER_NAME_H_
#define DEMBASE_TOOLS_LAYER_NAME_H_

#include <string>
#include <string_view>

#include "dembase/dembase.h"
#include "tools/status.h"

namespace dembase::tool {

enum class StoreKind { kLocal, kSqlite, kPostgresql };

struct LayerRef {
  std::string text;  // as given: every message about the layer names it so
  StoreKind kind = StoreKind::kLocal;
  std::string name;  // the layer name: NAME
  // Local store only.
  std::string dir;         // DIR, "." when none was given
  std::string headerPath;  // DIR/NAME.dem: what the library opens
  std::string crsPath;     // DIR/NAME.prj: the reference system, which the header cannot hold
  // Raster database only: the data set to open (connectKind, database, data-set name).
  DbConnectInfo connection{};

  bool local() const { return kind == StoreKind::kLocal; }
  // The name the library's layer calls take: the header path, or the database layer name.
  const std::string& libraryName() const { return local() ? headerPath : name; }
};

[[nodiscard]] StatusOr<LayerRef> ParseLayerRef(std::string_view text);

// Whether a directory entry beside a local layer of this name is named like one of its
// level directories: NAME, or NAME_ followed by digits.
bool LevelDirectoryName(std::string_view entry, std::string_view layerName);

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_LAYER_NAME_H_
