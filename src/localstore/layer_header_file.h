// The DEM_INFO header file of a local layer: made once when the layer is created,
// read when it is opened, and replaced whole when levels were added or removed or
// level 1's value range changed.
#ifndef DEMBASE_LOCALSTORE_LAYER_HEADER_FILE_H_
#define DEMBASE_LOCALSTORE_LAYER_HEADER_FILE_H_

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "dembase/dembase.h"
#include "localstore/records.h"
#include "localstore/result_codes.h"
#include "platform/env.h"

namespace dembase {

// Writes the header of a new layer at path: its description and the not yet created
// level 1. 1; 0 (bad path or name, cannot create); -3 (something exists at path).
int16_t CreateLayerHeaderFile(const std::string& path, const DataLayerParam& param);

struct OpenedLayerHeader {
  std::unique_ptr<platform::File> file;  // held unshared while the layer is open
  DataLayerParam param{};
  std::vector<PyramidLevelRec> levels;   // levelCount records, or the one record of a new layer
};

// Opens and reads a header file; the file stays open without sharing. 1; 0 (missing,
// held elsewhere, short, or a record that does not decode); -1; -2.
int16_t OpenLayerHeaderFile(const std::string& path, OpenedLayerHeader* out);

// Replaces the header file at path with one holding param and levels, and answers the
// new file held unshared: it is locked before its name appears, so the layer stays held
// across the swap (the caller keeps holding the old file until this returns). A crash
// at any point leaves either the old or the new file. file is nullptr when nothing was
// replaced; durable is false when the swap happened but could not be made durable.
struct SavedLayerHeader {
  std::unique_ptr<platform::File> file;
  bool durable = false;
};
[[nodiscard]] SavedLayerHeader SaveLayerHeaderFile(const std::string& path, const DataLayerParam& param,
                                                   std::span<const PyramidLevelRec> levels);

}  // namespace dembase

#endif  // DEMBASE_LOCALSTORE_LAYER_HEADER_FILE_H_
