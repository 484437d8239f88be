#include "records.h"

#include <bit>
#include <cstddef>

namespace dembase::rasterdb {
namespace {

static_assert(offsetof(DataLayerParam, dataType) == 1 && offsetof(DataLayerParam, xMin) == 3 &&
              offsetof(DataLayerParam, cellSizeY) == 43 && offsetof(DataLayerParam, levelCount) == 53 &&
              offsetof(DataLayerParam, maxValue) == 63 && sizeof(DataLayerParam) == kLayerParamSize);
static_assert(offsetof(PyramidLayerInfo, cellSizeX) == 1 && offsetof(PyramidLayerInfo, rows) == 17 &&
              offsetof(PyramidLayerInfo, tileRows) == 25 && offsetof(PyramidLayerInfo, tilesDown) == 29 &&
              sizeof(PyramidLayerInfo) == kLevelInfoSize);
static_assert(offsetof(TileIndexRec, packed) == 4 && offsetof(TileIndexRec, storedSize) == 5 &&
              offsetof(TileIndexRec, tileMin) == 9 && sizeof(TileIndexRec) == kTileRecSize);

// Little-endian writer and reader over a fixed buffer; callers size the buffer exactly.
class Writer {
 public:
  explicit Writer(std::span<uint8_t> out) : out_(out) {}
  void U8(uint8_t v) { out_[pos_++] = v; }
  void U16(uint16_t v) { Le(v, 2); }
  void U32(uint32_t v) { Le(v, 4); }
  void F32(float v) { U32(std::bit_cast<uint32_t>(v)); }
  void F64(double v) { Le(std::bit_cast<uint64_t>(v), 8); }

 private:
  void Le(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out_[pos_++] = static_cast<uint8_t>(v >> (8 * i));
  }
  std::span<uint8_t> out_;
  std::size_t pos_ = 0;
};

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> in) : in_(in) {}
  uint8_t U8() { return in_[pos_++]; }
  uint16_t U16() { return static_cast<uint16_t>(Le(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Le(4)); }
  float F32() { return std::bit_cast<float>(U32()); }
  double F64() { return std::bit_cast<double>(Le(8)); }

 private:
  uint64_t Le(int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= static_cast<uint64_t>(in_[pos_++]) << (8 * i);
    return v;
  }
  std::span<const uint8_t> in_;
  std::size_t pos_ = 0;
};

}  // namespace

LayerParamBytes EncodeLayerParam(const DataLayerParam& p) {
  LayerParamBytes b{};
  Writer w(b);
  w.U8(p.reserved0);
  w.U16(p.dataType);
  w.F64(p.xMin);
  w.F64(p.xMax);
  w.F64(p.yMin);
  w.F64(p.yMax);
  w.F64(p.cellSizeX);
  w.F64(p.cellSizeY);
  w.U16(p.reserved1);
  w.U16(static_cast<uint16_t>(p.levelCount));
  w.F64(p.minValue);
  w.F64(p.maxValue);
  return b;
}

bool DecodeLayerParam(std::span<const uint8_t> in, DataLayerParam* out) {
  if (in.size() != kLayerParamSize) return false;
  Reader r(in);
  DataLayerParam p{};
  p.reserved0 = r.U8();
  p.dataType = r.U16();
  p.xMin = r.F64();
  p.xMax = r.F64();
  p.yMin = r.F64();
  p.yMax = r.F64();
  p.cellSizeX = r.F64();
  p.cellSizeY = r.F64();
  p.reserved1 = r.U16();
  p.levelCount = static_cast<int16_t>(r.U16());
  p.minValue = r.F64();
  p.maxValue = r.F64();
  *out = p;
  return true;
}

LevelInfoBytes EncodeLevelInfo(const PyramidLayerInfo& info) {
  LevelInfoBytes b{};
  Writer w(b);
  w.U8(info.closedOnce);
  w.F64(info.cellSizeX);
  w.F64(info.cellSizeY);
  w.U32(static_cast<uint32_t>(info.rows));
  w.U32(static_cast<uint32_t>(info.cols));
  w.U16(static_cast<uint16_t>(info.tileRows));
  w.U16(static_cast<uint16_t>(info.tileCols));
  w.U32(static_cast<uint32_t>(info.tilesDown));
  w.U32(static_cast<uint32_t>(info.tilesAcross));
  return b;
}

bool DecodeLevelInfo(std::span<const uint8_t> in, PyramidLayerInfo* out) {
  if (in.size() != kLevelInfoSize) return false;
  Reader r(in);
  PyramidLayerInfo info{};
  info.closedOnce = r.U8();
  info.cellSizeX = r.F64();
  info.cellSizeY = r.F64();
  info.rows = static_cast<int32_t>(r.U32());
  info.cols = static_cast<int32_t>(r.U32());
  info.tileRows = static_cast<int16_t>(r.U16());
  info.tileCols = static_cast<int16_t>(r.U16());
  info.tilesDown = static_cast<int32_t>(r.U32());
  info.tilesAcross = static_cast<int32_t>(r.U32());
  *out = info;
  return true;
}

TileRecBytes EncodeTileRec(const TileIndexRec& rec) {
  TileRecBytes b{};
  Writer w(b);
  w.U32(rec.offset);
  w.U8(rec.packed);
  w.U32(rec.storedSize);
  w.F32(rec.tileMin);
  w.F32(rec.tileMax);
  return b;
}

bool DecodeTileRec(std::span<const uint8_t> in, TileIndexRec* out) {
  if (in.size() != kTileRecSize) return false;
  Reader r(in);
  TileIndexRec rec{};
  rec.offset = r.U32();
  rec.packed = r.U8();
  rec.storedSize = r.U32();
  rec.tileMin = r.F32();
  rec.tileMax = r.F32();
  *out = rec;
  return true;
}

TileIndexRec EmptyTileRec(uint16_t dataType, uint32_t tileKey) {
  const float null_value = dataType == DEMBASE_TYPE_FLOAT32
                               ? std::bit_cast<float>(DEMBASE_NULL_FLOAT32_BITS)
                               : static_cast<float>(DEMBASE_NULL_INT32);
  TileIndexRec rec{};
  rec.offset = tileKey;
  rec.packed = 0;
  rec.storedSize = 0;
  rec.tileMin = null_value;
  rec.tileMax = null_value;
  return rec;
}

void PutTileKey(std::span<uint8_t, kTileRecSize> rec, uint32_t tileKey) {
  for (std::size_t i = 0; i < 4; ++i) rec[kTileRecKeyOffset + i] = static_cast<uint8_t>(tileKey >> (8 * i));
}

}  // namespace dembase::rasterdb
