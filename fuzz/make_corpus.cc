// Writes the seed corpora of the fuzz targets into OUTDIR/<target>/ from real layers made
// through the exports: header and level files, tile payloads as stored, the records
// inside them, layer names and reference systems as the tool meets them.
//   dembase_fuzz_corpus OUTDIR
#include <ogr_spatialref.h>

#include <cpl_conv.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "localstore/records.h"

namespace {

namespace fs = std::filesystem;
using dembase::fuzz::ReadWholeFile;
using dembase::fuzz::Require;
using Bytes = std::vector<uint8_t>;

void Put(const fs::path& dir, const std::string& name, std::span<const uint8_t> bytes) {
  fs::create_directories(dir);
  Require(dembase::fuzz::WriteWholeFile((dir / name).string(), bytes), "write seed");
}

void PutText(const fs::path& dir, const std::string& name, const std::string& text) {
  Put(dir, name, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

// Payload seeds: the tile payload target's 8-byte prefix before the stored bytes.
void PayloadSeeds(const fs::path& out, const Bytes& header, const Bytes& data) {
  dembase::LevelHeaderPrefix prefix;
  Require(header.size() >= dembase::LevelHeaderPrefix::kEncodedLength &&
              prefix.DecodeFrom(std::as_bytes(std::span(header))),
          "level header");
  const size_t count = static_cast<size_t>(prefix.info.tilesDown) * static_cast<size_t>(prefix.info.tilesAcross);
  const size_t at = dembase::LevelHeaderPrefix::kEncodedLength + 4 * static_cast<size_t>(prefix.dataFileCount);
  std::vector<TileIndexRec> index(count);
  Require(dembase::DecodeTileIndex(std::as_bytes(std::span(header)).subspan(at), index), "tile index");
  int n = 0;
  for (const TileIndexRec& rec : index) {
    if (rec.storedSize == 0 || rec.offset + uint64_t{rec.storedSize} > data.size()) continue;
    // A raw block is seeded by its first KiB, repeated by the target out to 256 KiB.
    const bool raw = rec.packed == 0;
    const size_t length = raw ? 1024 : rec.storedSize;
    Bytes seed = {rec.packed, 0, 0, 0, 0, 0, static_cast<uint8_t>(raw ? 0 : 0), static_cast<uint8_t>(raw ? 1 : 0)};
    seed.insert(seed.end(), data.begin() + rec.offset, data.begin() + rec.offset + length);
    Put(out, (raw ? "raw_" : "zlib_") + std::to_string(n++), seed);
  }
}

std::string Wkt(OGRSpatialReference& srs) {
  char* text = nullptr;
  Require(srs.exportToWkt(&text) == OGRERR_NONE, "WKT");
  std::string wkt = text;
  CPLFree(text);
  return wkt;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: dembase_fuzz_corpus OUTDIR\n");
    return 2;
  }
  const fs::path out = argv[1];
  const std::string dir = dembase::fuzz::ScratchDir();
  const std::string intLayer = dembase::fuzz::MakeSampleLayer(dir);
  fs::create_directory(dir + "/float");
  const std::string floatLayer = dembase::fuzz::MakeSampleLayer(dir + "/float", DEMBASE_TYPE_FLOAT32);
  Require(!intLayer.empty() && !floatLayer.empty(), "sample layers");

  const Bytes intHeader = ReadWholeFile(intLayer);
  const Bytes floatHeader = ReadWholeFile(floatLayer);
  Put(out / "dem_info", "int_two_levels", intHeader);
  Put(out / "dem_info", "float_two_levels", floatHeader);

  const Bytes level1 = ReadWholeFile(dir + "/sample/sample.Hdr");
  const Bytes level2 = ReadWholeFile(dir + "/sample_1/sample_1.Hdr");
  Put(out / "level_header", "level1_3x3", level1);
  Put(out / "level_header", "level2_2x2", level2);
  Put(out / "level_header", "float_level1_3x3", ReadWholeFile(dir + "/float/sample/sample.Hdr"));

  PayloadSeeds(out / "tile_payload", level1, ReadWholeFile(dir + "/sample/sample.Dem"));

  // The records as the header files hold them: each at the start of a seed.
  const auto take = [](const Bytes& b, size_t at, size_t n) { return Bytes(b.begin() + at, b.begin() + at + n); };
  Put(out / "record_codecs", "dem_info_start", take(intHeader, 0, dembase::DemInfoHeader::kEncodedLength));
  Put(out / "record_codecs", "data_layer_param", take(floatHeader, 13, 71));
  Put(out / "record_codecs", "level_record", take(intHeader, dembase::DemInfoHeader::kEncodedLength, 777));
  Put(out / "record_codecs", "pyramid_layer_info", take(level1, 0, 37));
  Put(out / "record_codecs", "tile_index_rec", take(level1, 39 + 4, 17));

  int n = 0;
  for (const char* name : {"terrain/hill", "terrain/hill.dem", "hill", "/srv/dem/alps.dem", "sqlite:dems.sqlite#main/hill",
                           "sqlite:/data/a#b.sqlite#set/layer", "postgresql:host=/tmp dbname=dem#main/hill"}) {
    PutText(out / "layer_name", "name_" + std::to_string(n++), name);
  }

  OGRSpatialReference geographic;
  Require(geographic.SetWellKnownGeogCS("WGS84") == OGRERR_NONE, "WGS 84");
  PutText(out / "crs_sidecar", "wgs84", Wkt(geographic) + "\n");
  OGRSpatialReference utm;
  Require(utm.SetWellKnownGeogCS("WGS84") == OGRERR_NONE && utm.SetUTM(33, TRUE) == OGRERR_NONE, "UTM");
  PutText(out / "crs_sidecar", "utm33n", Wkt(utm) + "\n");
  PutText(out / "crs_sidecar", "empty", "");

  // Operation lists: fixed pseudo-random bytes, so the corpus is the same on every run.
  uint32_t state = 20;
  for (size_t size : {48, 160, 400, 900}) {
    Bytes seed(size);
    for (uint8_t& b : seed) {
      state = state * 1664525u + 1013904223u;
      b = static_cast<uint8_t>(state >> 24);
    }
    Put(out / "export_calls", "ops_" + std::to_string(size), seed);
  }
  return 0;
}
