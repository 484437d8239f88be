// The consistency check of a layer (`check`, our fsck), in two independent passes:
//  - through the library (either data-set kind): the description counts the levels that
//    exist, every level opens, every tile reads, tiles agree on the edges they share, and
//    each tile's recorded minimum and maximum bracket its cells;
//  - on the files (local store): the layer description is sound, the sizes, counts and
//    offsets of the header, the level headers and the data files agree with each other
//    and with the description (layout in disk_layout.h), and no level directory is left
//    over that no level record names.
// Each problem is one line; the check never changes the layer.
#ifndef DEMBASE_TOOLS_LAYER_CHECK_H_
#define DEMBASE_TOOLS_LAYER_CHECK_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tools/layer_name.h"
#include "tools/session.h"

namespace dembase::tool {

struct CheckReport {
  std::vector<std::string> problems;
  int32_t levels = 0;
  int64_t tilesRead = 0;
  int64_t tilesEmpty = 0;
  // A file the library would open is not a regular file: it could block or never end.
  bool unsafeFiles = false;

  void Add(std::string problem) { problems.push_back(std::move(problem)); }
};

void CheckThroughLibrary(Session& session, const LayerRef& ref, bool quiet, CheckReport* report);
// Run first: the library pass must be skipped when this one sets unsafeFiles.
void CheckFiles(const LayerRef& ref, CheckReport* report);

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_LAYER_CHECK_H_
