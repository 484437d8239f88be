#include "records.h"

#include <bit>
#include <cstddef>

#include "format/record_codecs.h"

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

// The bytes are the shared codecs' (format/record_codecs.h), seen as uint8_t.
template <typename Bytes, typename Codec, typename Record>
Bytes EncodeWith(const Record& rec) {
  Bytes b{};
  // The span is exactly the record's length, so the codec cannot refuse it.
  (void)Codec::EncodeTo(rec, std::as_writable_bytes(std::span<uint8_t>(b)));
  return b;
}

template <typename Codec, typename Record>
bool DecodeWith(std::span<const uint8_t> in, Record* out) {
  return in.size() == Codec::kEncodedLength && Codec::DecodeFrom(std::as_bytes(in), out);
}

}  // namespace

LayerParamBytes EncodeLayerParam(const DataLayerParam& p) { return EncodeWith<LayerParamBytes, DataLayerParamCodec>(p); }
bool DecodeLayerParam(std::span<const uint8_t> in, DataLayerParam* out) {
  return DecodeWith<DataLayerParamCodec>(in, out);
}

LevelInfoBytes EncodeLevelInfo(const PyramidLayerInfo& info) {
  return EncodeWith<LevelInfoBytes, PyramidLayerInfoCodec>(info);
}
bool DecodeLevelInfo(std::span<const uint8_t> in, PyramidLayerInfo* out) {
  return DecodeWith<PyramidLayerInfoCodec>(in, out);
}

TileRecBytes EncodeTileRec(const TileIndexRec& rec) { return EncodeWith<TileRecBytes, TileIndexRecCodec>(rec); }
bool DecodeTileRec(std::span<const uint8_t> in, TileIndexRec* out) { return DecodeWith<TileIndexRecCodec>(in, out); }

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
