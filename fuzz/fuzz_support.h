// What the fuzz targets share: a scratch directory per process, a small local layer made
// through the exports to damage or drive, a file held in memory, and a check that stops
// the run with a message (a finding, as a crash would be).
//
// Every target installs a small physical-memory figure first, so a level full of tiles
// touches a cache of tens of MiB, not a fraction of the machine.
#ifndef DEMBASE_FUZZ_FUZZ_SUPPORT_H_
#define DEMBASE_FUZZ_FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "dembase/dembase.h"
#include "platform/env.h"

namespace dembase::fuzz {

// Stops the run (abort) with what failed when ok is false.
void Require(bool ok, const char* what);

// Installs, once per process, the Env every target runs under: the system's, with a
// 64 MiB physical-memory figure.
void UseSmallMemory();

// A directory made once per process under TMPDIR, removed at exit.
const std::string& ScratchDir();

[[nodiscard]] bool WriteWholeFile(const std::string& path, std::span<const uint8_t> bytes);
[[nodiscard]] std::vector<uint8_t> ReadWholeFile(const std::string& path);

// A small integer layer "sample" in dir (3 x 3 tiles at level 1, 2 x 2 at level 2): tiles
// stored compressed, one tile stored raw, empty tiles. Returns its header path, "" when
// the library refused to make it.
std::string MakeSampleLayer(const std::string& dir, uint16_t type = DEMBASE_TYPE_INT32);
// The same layer as `name` in data set ds, through handle h; false when a call failed.
[[nodiscard]] bool MakeSampleLayerIn(DemBaseAI* h, int32_t ds, const std::string& name,
                                     uint16_t type = DEMBASE_TYPE_INT32);

// Relative paths of the sample layer's level files.
inline constexpr const char* kLevel1Header = "sample/sample.Hdr";
inline constexpr const char* kLevel1Data = "sample/sample.Dem";

// Opens the layer at path on a new handle and reads every created level through the
// exports; false at the first call that does not answer as a sound layer must.
[[nodiscard]] bool LayerReadsBack(const std::string& path);

// Opens the layer at path on a new handle and reads what it can (layer and level
// descriptions, every tile of level 1 and some of level 2, cells, tile data), whatever the
// files hold. Changes nothing on disk unless writeLevel1 (then one cell of level 1 is
// written and the level closed). Stops the run on an answer no call may give.
void ExerciseLayer(const std::string& path, bool writeLevel1);
// The same for layer `name` of data set ds, open on handle h.
void ExerciseLayerIn(DemBaseAI* h, int32_t ds, const std::string& name, bool writeLevel1);

// A read-only file over bytes in memory (the bytes outlive it).
class MemoryFile final : public platform::File {
 public:
  explicit MemoryFile(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  bool ReadAt(uint64_t offset, std::span<std::byte> out) override;
  bool WriteAt(uint64_t, std::span<const std::byte>) override { return false; }
  bool Size(uint64_t* size) override {
    *size = bytes_.size();
    return true;
  }
  bool Sync() override { return true; }

 private:
  std::span<const uint8_t> bytes_;
};

}  // namespace dembase::fuzz

#endif  // DEMBASE_FUZZ_FUZZ_SUPPORT_H_
