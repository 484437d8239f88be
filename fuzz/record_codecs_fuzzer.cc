// Feeds the records both libraries read back byte for byte (DataLayerParam 71 bytes,
// PyramidLayerInfo 37, TileIndexRec 17: from DEM_INFO and level headers, and from the
// raster database's rows), and the local header's own records: what decodes must encode
// to the same bytes (or, for the level record's NUL-terminated fields, to bytes that
// decode to the same record), and the database library's exact-length decode must agree.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "format/record_codecs.h"
#include "fuzz/fuzz_support.h"
#include "localstore/records.h"
#include "rasterdb/records.h"

namespace {

using dembase::fuzz::Require;

template <typename Codec, typename Record>
void RoundTrip(std::span<const std::byte> in, bool (*dbDecode)(std::span<const uint8_t>, Record*)) {
  Record rec{};
  Require(!Codec::DecodeFrom(in.first(std::min(in.size(), Codec::kEncodedLength - 1)), &rec),
          "a short record is refused");
  if (in.size() < Codec::kEncodedLength) return;
  const auto bytes = in.first(Codec::kEncodedLength);
  if (!Codec::DecodeFrom(bytes, &rec)) return;
  std::byte again[Codec::kEncodedLength];
  Require(Codec::EncodeTo(rec, again), "a decoded record encodes");
  Require(std::memcmp(again, bytes.data(), sizeof again) == 0, "a decoded record encodes to its bytes");
  Record fromDb{};
  const auto raw = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  Require(dbDecode(raw, &fromDb) && std::memcmp(&fromDb, &rec, sizeof rec) == 0, "both libraries decode alike");
  if (in.size() > Codec::kEncodedLength) {
    const auto longer = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(in.data()), in.size());
    Require(!dbDecode(longer, &fromDb), "the database library takes exact lengths only");
  }
}

void LevelRecord(std::span<const std::byte> in) {
  dembase::PyramidLevelRec rec;
  if (in.size() < dembase::PyramidLevelRec::kEncodedLength || !rec.DecodeFrom(in)) return;
  // A record that opens must also be saved again when the layer rewrites its header.
  std::vector<std::byte> again(dembase::PyramidLevelRec::kEncodedLength);
  dembase::PyramidLevelRec back;
  Require(rec.EncodeTo(again) && back.DecodeFrom(again) && back == rec, "a decoded level record round-trips");
}

void LevelPrefix(std::span<const std::byte> in) {
  dembase::LevelHeaderPrefix prefix;
  if (!prefix.DecodeFrom(in)) return;
  std::byte again[dembase::LevelHeaderPrefix::kEncodedLength];
  Require(prefix.EncodeTo(again) && std::memcmp(again, in.data(), sizeof again) == 0,
          "a decoded level header start encodes to its bytes");
}

void DemInfo(std::span<const std::byte> in) {
  dembase::DemInfoHeader header;
  if (header.DecodeFrom(in) != dembase::DemInfoStatus::kOk) return;
  std::byte again[dembase::DemInfoHeader::kEncodedLength];
  Require(header.EncodeTo(again) && std::memcmp(again, in.data(), sizeof again) == 0,
          "a decoded DEM_INFO start encodes to its bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dembase;
  const auto in = std::as_bytes(std::span<const uint8_t>(data, size));
  RoundTrip<DataLayerParamCodec, DataLayerParam>(in, &rasterdb::DecodeLayerParam);
  RoundTrip<PyramidLayerInfoCodec, PyramidLayerInfo>(in, &rasterdb::DecodeLevelInfo);
  RoundTrip<TileIndexRecCodec, TileIndexRec>(in, &rasterdb::DecodeTileRec);
  LevelRecord(in);
  LevelPrefix(in);
  DemInfo(in);
  return 0;
}
