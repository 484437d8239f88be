// Damaged local layers: bytes of the layer header, the level header and the data file
// are flipped, overwritten or cut off, and the layer is opened and read through the
// exports. Every case ends in a clean refusal or in cells that are either right or
// reported null; nothing crashes, and reading never changes what is stored.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
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

// Where `at` counts from: the file's start, tile's record, or tile's payload (from its
// end when negative).
enum class Anchor : uint8_t { kStart, kRecord, kPayload };
enum class Op : uint8_t { kXor, kTruncate, kPut };
// kLayerRefused: the layer open answers `code`; kLevelRefused: level 1 does not open;
// kReadable: tiles outside `mayFail` read right, those inside right or null; kNoCrash:
// the damage cannot be detected, the calls must only stay safe.
enum class Outcome : uint8_t { kLayerRefused, kLevelRefused, kReadable, kNoCrash };

struct Damage {
  const char* what;
  std::string file;
  Anchor anchor;
  int tile;
  int64_t at;
  Op op;
  uint8_t mask;
  std::string bytes;
  Outcome outcome;
  int code;
  uint32_t mayFail;  // bit t: tile t may read as nulls
};

constexpr uint32_t Tiles(std::initializer_list<int> tiles) {
  uint32_t m = 0;
  for (int t : tiles) m |= 1u << t;
  return m;
}
Damage Flip(const char* what, const std::string& file, Anchor a, int tile, int64_t at, uint8_t mask, Outcome o,
            int code = 0, uint32_t mayFail = 0) {
  return Damage{what, file, a, tile, at, Op::kXor, mask, {}, o, code, mayFail};
}
Damage Cut(const char* what, const std::string& file, Anchor a, int tile, int64_t at, Outcome o, uint32_t mayFail = 0) {
  return Damage{what, file, a, tile, at, Op::kTruncate, 0, {}, o, 0, mayFail};
}

std::vector<Damage> Cases() {
  using enum Anchor;
  using enum Outcome;
  const int64_t kRec = 84;  // the one level record of the layer header
  return {
      // Layer header.
      Flip("magic", kInfo, kStart, 0, 0, 0x01, kLayerRefused, -1),
      Flip("version high", kInfo, kStart, 0, 12, 0x80, kLayerRefused, -2),
      Cut("empty header", kInfo, kStart, 0, 0, kLayerRefused),
      Cut("header cut in description", kInfo, kStart, 0, 50, kLayerRefused),
      Cut("header cut in level record", kInfo, kStart, 0, kRec + 400, kLayerRefused),
      Cut("header cut in trailer", kInfo, kStart, 0, kRec + 777 + 10, kReadable),
      Flip("level count too large", kInfo, kStart, 0, 66, 0x40, kLayerRefused),
      Flip("level count negative", kInfo, kStart, 0, 67, 0x80, kLayerRefused),
      Flip("level count 0", kInfo, kStart, 0, 66, 0x01, kLevelRefused),
      Flip("unknown data type", kInfo, kStart, 0, 14, 0x10, kReadable),
      Flip("integer type read as float", kInfo, kStart, 0, 14, 0x01, kNoCrash),
      Flip("extent", kInfo, kStart, 0, 16 + 7, 0x40, kReadable),
      Flip("level directory", kInfo, kStart, 0, kRec + 1, 0x01, kReadable),
      Flip("level header path", kInfo, kStart, 0, kRec + 256 + 6, 0x01, kLevelRefused),
      Flip("data file path", kInfo, kStart, 0, kRec + 516 + 6, 0x01, kLevelRefused),
      {"header path leaves the layer", kInfo, kStart, 0, kRec + 256, Op::kPut, 0, "..\\hill\\hill.Hdr", kLayerRefused,
       0, 0},
      Flip("level not created", kInfo, kStart, 0, kRec + 776, 0x01, kLevelRefused),
      Flip("created flag 3", kInfo, kStart, 0, kRec + 776, 0x02, kReadable),
      // Level header.
      Flip("closedOnce", kHdr, kStart, 0, 0, 0x01, kReadable),
      Flip("cell size", kHdr, kStart, 0, 8, 0x10, kReadable),
      Flip("rows off by one", kHdr, kStart, 0, 17, 0x01, kLevelRefused),
      Flip("rows, same tile count", kHdr, kStart, 0, 17, 0x04, kReadable),
      Flip("tiles across", kHdr, kStart, 0, 33, 0x01, kLevelRefused),
      Flip("data file count 0", kHdr, kStart, 0, 37, 0x01, kLevelRefused),
      Flip("data file end", kHdr, kStart, 0, 42, 0x40, kReadable),
      Cut("level header cut in last record", kHdr, kRecord, kTiles - 1, 16, kLevelRefused),
      Cut("empty level header", kHdr, kStart, 0, 0, kLevelRefused),
      Flip("offset far beyond the file", kHdr, kRecord, 0, 3, 0x40, kReadable, 0, Tiles({0})),
      Flip("offset moved by one", kHdr, kRecord, 4, 0, 0x01, kReadable, 0, Tiles({4})),
      Flip("offset 1 on a stored tile", kHdr, kRecord, 0, 0, 0x01, kReadable, 0, Tiles({0})),
      Flip("stored size one off", kHdr, kRecord, 0, 5, 0x01, kReadable, 0, Tiles({0})),
      Flip("stored size huge", kHdr, kRecord, 1, 8, 0x10, kReadable, 0, Tiles({1})),
      Flip("packed tile marked raw", kHdr, kRecord, 0, 4, 0x01, kReadable, 0, Tiles({0})),
      Flip("raw tile marked packed", kHdr, kRecord, 2, 4, 0x01, kReadable, 0, Tiles({2})),
      Flip("packed flag 2", kHdr, kRecord, 1, 4, 0x02, kReadable, 0, Tiles({1})),
      Flip("raw tile stored size 0", kHdr, kRecord, 2, 7, 0x04, kReadable, 0, Tiles({2})),
      Flip("empty tile offset 0", kHdr, kRecord, 3, 0, 0x01, kReadable),
      Flip("empty tile stored size", kHdr, kRecord, 5, 5, 0x10, kReadable),
      Flip("tile minimum", kHdr, kRecord, 1, 12, 0x40, kReadable),
      // Data file.
      Flip("stream header", kDem, kPayload, 0, 0, 0x01, kReadable, 0, Tiles({0})),
      Flip("stream body", kDem, kPayload, 1, 40, 0x08, kReadable, 0, Tiles({1})),
      Flip("stream checksum", kDem, kPayload, 4, -1, 0x01, kReadable, 0, Tiles({4})),
      Cut("data file cut in a payload", kDem, kPayload, 4, 100, kReadable, Tiles({2, 4})),
      Cut("empty data file", kDem, kStart, 0, 0, kReadable, Tiles({0, 1, 2, 4})),
  };
}

class LocalCorruptionTest : public LocalStoreTest {
 protected:
  void BuildReferenceLayer() {
    const int32_t id = CreateAndOpen(kInfo, DEMBASE_TYPE_INT32, 510, 765);
    ASSERT_GE(id, 1);
    for (int t : {0, 1, 4}) ASSERT_TRUE(WriteTile(h_, id, 1, t / kTilesAcross, t % kTilesAcross, kContent[t]));
    ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id), 1);
    const LayerOperParam raw{0, 1, 0.0f, 1.0f};
    ASSERT_EQ(_hxSetLayerOperParam(h_, kLocal, id, &raw), 1);
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
    const TileIndexRec& rec = level_.record(d.tile);
    const int64_t at = d.anchor == Anchor::kStart    ? d.at
                       : d.anchor == Anchor::kRecord ? static_cast<int64_t>(level_.record_offset(d.tile)) + d.at
                       : d.at >= 0                   ? rec.offset + d.at
                                                     : rec.offset + rec.storedSize + d.at;
    ASSERT_GE(at, 0);
    ASSERT_LE(static_cast<size_t>(at) + d.bytes.size() + (d.op == Op::kXor), b.size());
    const size_t o = static_cast<size_t>(at);
    if (d.op == Op::kXor) b[o] ^= d.mask;
    if (d.op == Op::kTruncate) b.resize(o);
    if (d.op == Op::kPut) std::memcpy(b.data() + o, d.bytes.data(), d.bytes.size());
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

// A level whose DataFileEnd table lags behind its data file (a crash after payloads
// were written, before the table was) still appends behind every stored payload.
TEST_F(LocalCorruptionTest, StaleDataFileEndNeverLetsAnAppendOverwrite) {
  ASSERT_NO_FATAL_FAILURE(BuildReferenceLayer());
  ASSERT_NO_FATAL_FAILURE(Apply(Damage{"", kHdr, Anchor::kStart, 0, 39, Op::kPut, 0, std::string(4, '\0'), {}, 0, 0}));
  int32_t id = _hxOpenDataLayer(h_, kLocal, Path(kInfo).c_str(), 0);
  ASSERT_GE(id, 1);
  ASSERT_EQ(_hxOpenPyramidLayer(h_, kLocal, id, 1), 1);
  ASSERT_TRUE(WriteTile(h_, id, 1, 1, 0, Noise(9)));  // tile 3, empty until now
  id = Reopen(id, kInfo);
  ASSERT_GE(id, 1);
  for (int t = 0; t < kTiles; ++t) {
    const TileContent want = t == 3 ? Noise(9) : kContent[t];
    EXPECT_EQ(ClassifyTile(h_, id, 1, t / kTilesAcross, t % kTilesAcross, want, want), Seen::kFirst) << t;
  }
  LevelProbe after;
  ASSERT_TRUE(after.Load(Path(kInfo), 1));
  EXPECT_EQ(Copy(after.record(3).offset), level_.data_file_size(0));
  EXPECT_EQ(after.data_file_end(0), after.data_file_size(0));
  EXPECT_FALSE(after.PayloadsOverlap());
  EXPECT_EQ(_hxCloseDataLayer(h_, kLocal, id), 1);
}

}  // namespace
}  // namespace dembase::testing
