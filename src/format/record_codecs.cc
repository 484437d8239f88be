#include "format/record_codecs.h"

#include "format/coding.h"

namespace dembase {

// --- DataLayerParam ---

bool DataLayerParamCodec::EncodeTo(const DataLayerParam& p, std::span<std::byte> out) {
  if (out.size() < kEncodedLength) return false;
  ByteWriter w(out);
  w.PutU8(p.reserved0);
  w.PutU16(p.dataType);
  w.PutDouble(p.xMin);
  w.PutDouble(p.xMax);
  w.PutDouble(p.yMin);
  w.PutDouble(p.yMax);
  w.PutDouble(p.cellSizeX);
  w.PutDouble(p.cellSizeY);
  w.PutU16(p.reserved1);
  w.PutI16(p.levelCount);
  w.PutDouble(p.minValue);
  w.PutDouble(p.maxValue);
  return w.ok();
}

bool DataLayerParamCodec::DecodeFrom(std::span<const std::byte> in, DataLayerParam* p) {
  if (in.size() < kEncodedLength) return false;
  ByteReader r(in);
  DataLayerParam d{};
  uint8_t reserved0 = 0;
  uint16_t dataType = 0, reserved1 = 0;
  int16_t levelCount = 0;
  double v[8] = {};
  // Fields are read into locals: members of a packed struct cannot be bound to pointers.
  const bool ok = r.ReadU8(&reserved0) && r.ReadU16(&dataType) && r.ReadDouble(&v[0]) && r.ReadDouble(&v[1]) &&
                  r.ReadDouble(&v[2]) && r.ReadDouble(&v[3]) && r.ReadDouble(&v[4]) && r.ReadDouble(&v[5]) &&
                  r.ReadU16(&reserved1) && r.ReadI16(&levelCount) && r.ReadDouble(&v[6]) && r.ReadDouble(&v[7]);
  if (!ok) return false;
  d.reserved0 = reserved0;
  d.dataType = dataType;
  d.xMin = v[0];
  d.xMax = v[1];
  d.yMin = v[2];
  d.yMax = v[3];
  d.cellSizeX = v[4];
  d.cellSizeY = v[5];
  d.reserved1 = reserved1;
  d.levelCount = levelCount;
  d.minValue = v[6];
  d.maxValue = v[7];
  *p = d;
  return true;
}

// --- PyramidLayerInfo ---

bool PyramidLayerInfoCodec::EncodeTo(const PyramidLayerInfo& info, std::span<std::byte> out) {
  if (out.size() < kEncodedLength) return false;
  ByteWriter w(out);
  w.PutU8(info.closedOnce);
  w.PutDouble(info.cellSizeX);
  w.PutDouble(info.cellSizeY);
  w.PutI32(info.rows);
  w.PutI32(info.cols);
  w.PutI16(info.tileRows);
  w.PutI16(info.tileCols);
  w.PutI32(info.tilesDown);
  w.PutI32(info.tilesAcross);
  return w.ok();
}

bool PyramidLayerInfoCodec::DecodeFrom(std::span<const std::byte> in, PyramidLayerInfo* info) {
  ByteReader r(in);
  uint8_t closedOnce = 0;
  double cellSizeX = 0, cellSizeY = 0;
  int32_t rows = 0, cols = 0, tilesDown = 0, tilesAcross = 0;
  int16_t tileRows = 0, tileCols = 0;
  if (!(r.ReadU8(&closedOnce) && r.ReadDouble(&cellSizeX) && r.ReadDouble(&cellSizeY) && r.ReadI32(&rows) &&
        r.ReadI32(&cols) && r.ReadI16(&tileRows) && r.ReadI16(&tileCols) && r.ReadI32(&tilesDown) &&
        r.ReadI32(&tilesAcross))) {
    return false;
  }
  PyramidLayerInfo d{};
  d.closedOnce = closedOnce;
  d.cellSizeX = cellSizeX;
  d.cellSizeY = cellSizeY;
  d.rows = rows;
  d.cols = cols;
  d.tileRows = tileRows;
  d.tileCols = tileCols;
  d.tilesDown = tilesDown;
  d.tilesAcross = tilesAcross;
  *info = d;
  return true;
}

// --- TileIndexRec ---

bool TileIndexRecCodec::EncodeTo(const TileIndexRec& rec, std::span<std::byte> out) {
  if (out.size() < kEncodedLength) return false;
  std::byte* p = out.data();
  EncodeFixed32(p, rec.offset);
  p[4] = static_cast<std::byte>(rec.packed);
  EncodeFixed32(p + 5, rec.storedSize);
  EncodeFloat(p + 9, rec.tileMin);
  EncodeFloat(p + 13, rec.tileMax);
  return true;
}

bool TileIndexRecCodec::DecodeFrom(std::span<const std::byte> in, TileIndexRec* rec) {
  if (in.size() < kEncodedLength) return false;
  const std::byte* p = in.data();
  TileIndexRec d{};
  d.offset = DecodeFixed32(p);
  d.packed = std::to_integer<uint8_t>(p[4]);
  d.storedSize = DecodeFixed32(p + 5);
  d.tileMin = DecodeFloat(p + 9);
  d.tileMax = DecodeFloat(p + 13);
  *rec = d;
  return true;
}

}  // namespace dembase
