// The three records that cross every boundary of the system byte for byte: the layer
// description (DataLayerParam, 71 bytes), a level's description (PyramidLayerInfo, 37)
// and a tile's record (TileIndexRec, 17), packed little-endian whatever the host. The
// local store's files, the raster database library and the tool's check all encode them
// here and nowhere else. Each EncodeTo refuses a span that is too short; each DecodeFrom
// refuses one that is too short.
#ifndef DEMBASE_FORMAT_RECORD_CODECS_H_
#define DEMBASE_FORMAT_RECORD_CODECS_H_

#include <cstddef>
#include <span>

#include "dembase/dembase.h"

namespace dembase {

struct DataLayerParamCodec {
  static constexpr size_t kEncodedLength = 71;
  [[nodiscard]] static bool EncodeTo(const DataLayerParam& param, std::span<std::byte> out);
  [[nodiscard]] static bool DecodeFrom(std::span<const std::byte> in, DataLayerParam* param);
};
static_assert(DataLayerParamCodec::kEncodedLength == sizeof(DataLayerParam));

struct PyramidLayerInfoCodec {
  static constexpr size_t kEncodedLength = 37;
  [[nodiscard]] static bool EncodeTo(const PyramidLayerInfo& info, std::span<std::byte> out);
  [[nodiscard]] static bool DecodeFrom(std::span<const std::byte> in, PyramidLayerInfo* info);
};
static_assert(PyramidLayerInfoCodec::kEncodedLength == sizeof(PyramidLayerInfo));

struct TileIndexRecCodec {
  static constexpr size_t kEncodedLength = 17;
  [[nodiscard]] static bool EncodeTo(const TileIndexRec& rec, std::span<std::byte> out);
  [[nodiscard]] static bool DecodeFrom(std::span<const std::byte> in, TileIndexRec* rec);
};
static_assert(TileIndexRecCodec::kEncodedLength == sizeof(TileIndexRec));

}  // namespace dembase

#endif  // DEMBASE_FORMAT_RECORD_CODECS_H_
