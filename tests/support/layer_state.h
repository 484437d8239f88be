// What layers show through the exports, item by item: whether each exists, its
// description, each level's description and each tile's sampled cells with its record.
// A failed write may leave some items old and others new, never an item that is neither.
// Tests only.
#ifndef DEMBASE_TESTS_SUPPORT_LAYER_STATE_H_
#define DEMBASE_TESTS_SUPPORT_LAYER_STATE_H_

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "dembase/dembase.h"

namespace dembase::testing {

using LayerState = std::map<std::string, std::string>;

// Items of the layer `name` as a fresh handle reads them, keys prefixed with `name`.
// The layer's value range is left out: it follows the records, which may be a mix.
inline void CaptureLayer(const std::function<int32_t(DemBaseAI*)>& openDataSet, const std::string& name,
                         LayerState* state) {
  DemBaseAI* h = _hxCreateDemBaseAI();
  const int32_t ds = h == nullptr ? 0 : openDataSet(h);
  const int32_t id = ds < 1 ? 0 : _hxOpenDataLayer(h, ds, name.c_str(), 0);
  DataLayerParam p{};
  if (id < 1 || _hxGetDataLayerParam(h, ds, id, &p) != 1) {
    (*state)[name] = h != nullptr && _hxDeleteDemBaseAI(h) != 1 ? "absent, close refused" : "absent";
    return;
  }
  (*state)[name] = "type " + std::to_string(p.dataType) + " levels " + std::to_string(p.levelCount);
  float lo = 3.402823e38f, hi = -3.402823e38f;  // over level 1's tiles with cells
  for (int16_t level = 1; level <= p.levelCount; ++level) {
    const std::string key = name + " level " + std::to_string(level);
    PyramidLayerInfo info{};
    if (_hxGetPyramidLayerInfo(h, ds, id, level, &info) != 1 || _hxOpenPyramidLayer(h, ds, id, level) != 1) {
      (*state)[key] = "unreadable";
      continue;
    }
    const int32_t down = info.tilesDown, across = info.tilesAcross;
    (*state)[key] = std::to_string(info.rows) + " x " + std::to_string(info.cols);
    for (int32_t t = 0; t < down * across; ++t) {
      const std::string tileKey = key + " tile " + std::to_string(t);
      OneTileInfo rec{};
      if (_hxGetOneTileInfo(h, ds, id, level, 0, t / across, t % across, &rec) == 1) {
        std::ostringstream record;
        record << rec.minimum << " .. " << rec.maximum;
        (*state)[tileKey + " record"] = record.str();
      }
      std::ostringstream tile;
      const int16_t begin = _hxBeginReadTile(h, ds, id, level, 0, t / across, t % across);
      tile << " begin " << begin << ";";
      uint64_t hash = 1469598103934665603u;
      // Every seventh row and column, and the last, which neighbouring tiles share.
      const auto next = [](int32_t i) { return i == 255 ? 256 : std::min(i + 7, 255); };
      for (int32_t r = 0; begin > 0 && r < 256; r = next(r)) {
        for (int32_t c = 0; c < 256; c = next(c)) {
          double v = 0;
          uint8_t isNull = 9;
          if (_hxReadCellOfTile(h, r, c, &v, &isNull) != 1) isNull = 7;
          hash = (hash ^ static_cast<uint64_t>(isNull == 0 ? v * 4.0 : -1e12 - isNull)) * 1099511628211u;
        }
      }
      if (begin > 0 && _hxEndReadTile(h) != 1) tile << " end refused";
      if (begin == 1 && level == 1) lo = std::min(lo, rec.minimum), hi = std::max(hi, rec.maximum);
      tile << " cells " << hash;
      (*state)[tileKey] = tile.str();
    }
    if (_hxClosePyramidLayer(h, ds, id) != 1) (*state)[key] += ", close refused";
  }
  // The layer's range is that of level 1's records.
  DataLayerParam closed{};
  const bool follows =
      _hxGetDataLayerParam(h, ds, id, &closed) == 1 && (lo > hi || (closed.minValue == lo && closed.maxValue == hi));
  (*state)[name + " range record"] = follows ? "follows level 1" : "stale";
  // Reading changes nothing, so closing it has nothing to fail on.
  if (_hxCloseDataLayer(h, ds, id) != 1 || _hxDeleteDemBaseAI(h) != 1) (*state)[name] += ", close refused";
}

// The keys whose item in `now` is neither as in `before` nor as in `after`; tile records
// left out when `records` is false.
inline std::vector<std::string> NeitherOldNorNew(const LayerState& before, const LayerState& after,
                                                 const LayerState& now, bool records = true) {
  std::vector<std::string> bad;
  const auto at = [](const LayerState& s, const std::string& k) {
    const auto it = s.find(k);
    return it == s.end() ? std::string("none") : it->second;
  };
  LayerState keys = before;
  keys.insert(after.begin(), after.end());
  keys.insert(now.begin(), now.end());
  for (const auto& [k, v] : keys) {
    if (!records && k.ends_with(" record")) continue;
    const std::string n = at(now, k);
    if (n != at(before, k) && n != at(after, k)) bad.push_back(k + ": " + n);
  }
  return bad;
}

}  // namespace dembase::testing

#endif  // DEMBASE_TESTS_SUPPORT_LAYER_STATE_H_
