// Damaged local layers: bytes of the layer header, the level header and the data file
// are flipped or cut off, and the layer is opened and read through the
// exports. Every case ends in a clean refusal or in cells that are either right or
// reported null; nothing crashes, and reading never changes what is stored.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/layer_files.h"
#include "tests/support/local_store_fixture.h"
#include "tests/support/tile_cells.h"

namespace dembase::testing {
namespace {

// The reference layer: 510 x 765 cells, 2 x 3 tiles. Tiles 0, 1 and 4 are stored
// compressed (in that order), tile 2 raw after them, tiles 3 and 5 are empty.
constexpr int32_t kTilesAcross = 3, kTiles = 6;
const TileContent kContent[kTiles] = {Noise(1), Smooth(2), Noise(3), kNullTile, Noise(4), kNullTile};
const std::string kInfo = "hill.dem", kHdr = "hill/hill.Hdr", kDem = "hill/hill.Dem";

// Where `at` counts from: the file's start, tile's record, or tile's payload.
enum class Anchor : uint8_t { kStart, kRecord, kPayload };
// kLayerRefused: the layer open answers `code`; kLevelRefused: level 1 does not open;
// kReadable: tiles outside `mayFail` read right, those inside right or null; kNoCrash:
// the damage cannot be detected, the calls must only stay safe.
enum class Outcome : uint8_t { kLayerRefused, kLevelRefused, kReadable, kNoCrash };
constexpr uint8_t kCut = 0;  // a mask that cuts the file off at `at` instead

struct Damage {
  const char* what;
  std::string file;
  Anchor anchor;
  int tile;
  int64_t at;
  uint8_t mask;  // xor-ed into the byte at `at`
  Outcome outcome;
  int code = 0;
  uint32_t mayFail = 0;  // bit t: tile t may read as nulls
};

std::vector<Damage> Cases() {
  using enum Anchor;
  using enum Outcome;
  const int64_t kRec = 84;  // the one level record of the layer header
  return {
      // Layer header.
      {"magic", kInfo, kStart, 0, 0, 0x01, kLayerRefused, -1},
      {"version high", kInfo, kStart, 0, 12, 0x80, kLayerRefused, -2},
      {"header cut in description", kInfo, kStart, 0, 50, kCut, kLayerRefused},
      {"header cut in level record", kInfo, kStart, 0, kRec + 400, kCut, kLayerRefused},
      {"header cut in trailer", kInfo, kStart, 0, kRec + 777 + 10, kCut, kReadable},
      {"level count 0", kInfo, kStart, 0, 66, 0x01, kLevelRefused},
      {"unknown data type", kInfo, kStart, 0, 14, 0x10, kReadable},
      {"integer type read as float", kInfo, kStart, 0, 14, 0x01, kNoCrash},
      {"level header path", kInfo, kStart, 0, kRec + 256 + 6, 0x01, kLevelRefused},
      {"data file path", kInfo, kStart, 0, kRec + 516 + 6, 0x01, kLevelRefused},
      {"header path made absolute", kInfo, kStart, 0, kRec + 256, 'h' ^ '/', kLayerRefused},
      {"level not created", kInfo, kStart, 0, kRec + 776, 0x01, kLevelRefused},
      // Level header.
      {"rows off by one", kHdr, kStart, 0, 17, 0x01, kLevelRefused},
      {"level header cut in last record", kHdr, kRecord, kTiles - 1, 16, kCut, kLevelRefused},
      {"offset 1 on a stored tile", kHdr, kRecord, 0, 0, 0x01, kReadable, 0, 1u << 0},
      {"stored size huge", kHdr, kRecord, 1, 8, 0x10, kReadable, 0, 1u << 1},
      {"packed tile marked raw", kHdr, kRecord, 0, 4, 0x01, kReadable, 0, 1u << 0},
      {"packed flag 2", kHdr, kRecord, 1, 4, 0x02, kReadable, 0, 1u << 1},
      {"raw tile stored size 0", kHdr, kRecord, 2, 7, 0x04, kReadable, 0, 1u << 2},
      {"empty tile offset 0", kHdr, kRecord, 3, 0, 0x01, kReadable},
      {"empty tile stored size", kHdr, kRecord, 5, 5, 0x10, kReadable},
      // Data file.
      {"stream body", kDem, kPayload, 1, 40, 0x08, kReadable, 0, 1u << 1},
      {"data file cut in a payload", kDem, kPayload, 4, 100, kCut, kReadable, 0, 1u << 2 | 1u << 4},
  };
}

class LocalCorruptionTest : public LocalStoreTest {
 protected:
  void BuildReferenceLayer() {
    const int32_t id = CreateAndOpen(kInfo, DEMBASE_TYPE_INT32, 510, 765);
    ASSERT_GE(id, 1);
    for (int t : {0, 1, 4}) ASSERT_TRUE(WriteTile(h_, id, 1, t / kTilesAcross, t % kTilesAcross, kContent[t]));
    ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
    ASSERT_EQ(SetOperParam(h_, id, false, true), 1);
    ASSERT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, 1), 1);
    ASSERT_TRUE(WriteTile(h_, id, 1, 0, 2, kContent[2]));
    ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
    ASSERT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
    ASSERT_TRUE(level_.Load(Path(kInfo), 1));
    ASSERT_EQ(Copy(level_.record(2).packed), 0);
    ASSERT_EQ(Copy(level_.record(4).packed), 1);
    ASSERT_LT(Copy(level_.record(4).offset), Copy(level_.record(2).offset));
  }

  void Apply(const Damage& d) {
    Bytes b = ReadFileBytes(Path(d.file));
    const int64_t at = d.anchor == Anchor::kStart    ? d.at
                       : d.anchor == Anchor::kRecord ? static_cast<int64_t>(level_.record_offset(d.tile)) + d.at
                                                     : level_.record(d.tile).offset + d.at;
    ASSERT_LT(static_cast<size_t>(at), b.size());
    b[static_cast<size_t>(at)] ^= d.mask;
    if (d.mask == kCut) b.resize(static_cast<size_t>(at));
    ASSERT_TRUE(WriteFileBytes(Path(d.file), b));
  }

  // Reads every tile of the closed level through the tile-data sequence, then through
  // the opened level.
  void OpenAndRead(const Damage& d) {
    const int32_t id = _hxOpenDataLayer(h_, kLocal, Path(kInfo).c_str(), 0);
    if (d.outcome == Outcome::kLayerRefused) {
      EXPECT_EQ(id, d.code);
      EXPECT_TRUE(id < 1 || _hxCloseDataLayer(h_, kLocal, id) == 1);
      return;
    }
    ASSERT_GE(id, 1);
    for (int t = 0; t < kTiles; ++t) {
      SCOPED_TRACE(::testing::Message() << "tile data " << t);
      const int16_t r = _hxBeginReadTileData(h_, kLocal, id, 1, 0, t / kTilesAcross, t % kTilesAcross);
      const bool sure = d.outcome == Outcome::kReadable && (d.mayFail >> t & 1) == 0;
      if (d.outcome == Outcome::kLevelRefused) {
        EXPECT_EQ(r, 0);
      } else if (sure) {
        EXPECT_EQ(r, kContent[t].pattern == Pattern::kNull ? 2 : 1);
      }
      EXPECT_TRUE(r == 0 || r == 1 || r == 2) << r;
      for (int32_t row = 1; r == 1 && d.outcome != Outcome::kNoCrash && row < 255; row += 29) {
        for (int32_t col = 2; col < 255; col += 31) {
          double v = 0;
          uint8_t isNull = 9;
          ASSERT_EQ(_hxReadCellOfTileData(h_, row, col, &v, &isNull), 1);
          const auto want = kContent[t].Cell(row, col);
          ASSERT_EQ(isNull, want ? 0 : 1) << row << "," << col;
          if (want) {
            ASSERT_EQ(v, *want) << row << "," << col;
          }
        }
      }
      EXPECT_TRUE(r < 1 || _hxEndReadTileData(h_) == 1);
    }
    const int16_t level = _hxOpenPyramidLayer(h_, kLocal, id, 1);
    if (d.outcome == Outcome::kLevelRefused) {
      EXPECT_TRUE(level == 0 || level == -6) << level;
    } else {
      ASSERT_EQ(level, 1);
      for (int t = 0; t < kTiles; ++t) {
        const Seen seen = ClassifyTile(h_, id, 1, t / kTilesAcross, t % kTilesAcross, kContent[t], kContent[t]);
        if (d.outcome == Outcome::kNoCrash) continue;
        const bool mayFail = (d.mayFail >> t & 1) != 0;
        EXPECT_TRUE(seen == Seen::kFirst || (mayFail && seen == Seen::kNulls)) << "tile " << t << ": " << seen;
      }
    }
    EXPECT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
  }

  LevelProbe level_;
};

TEST_F(LocalCorruptionTest, DamageIsRefusedOrConfinedToTheDamagedTiles) {
  ASSERT_NO_FATAL_FAILURE(BuildReferenceLayer());
  const DirectorySnapshot pristine(dir_.path());
  for (const Damage& d : Cases()) {
    SCOPED_TRACE(d.what);
    pristine.Restore();
    ASSERT_NO_FATAL_FAILURE(Apply(d));
    const DirectorySnapshot damaged(dir_.path());
    OpenAndRead(d);
    // Reading repairs nothing and damages nothing: each file is as damaged or as it was.
    for (const auto& [rel, bytes] : damaged.files()) {
      const Bytes now = ReadFileBytes(Path(rel));
      EXPECT_TRUE(now == bytes || now == pristine.file(rel)) << rel << " changed";
    }
  }
}

}  // namespace
}  // namespace dembase::testing
