// A layer kind for tests of the handle and the registry: it records which operations reach it
// and answers what the test sets.
#ifndef DEMBASE_TESTS_SUPPORT_FAKE_LAYER_H_
#define DEMBASE_TESTS_SUPPORT_FAKE_LAYER_H_

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "registry/data_layer.h"
#include "registry/layer_factory.h"

namespace dembase::testing {

// Shared by every fake a factory makes, so a test can look after a layer is gone.
struct FakeLog {
  std::vector<std::string> calls;  // "<layer serial>:<operation>"
  int destroyed = 0;
  int made = 0;
};

// Results the fakes answer; keyed by operation name, default 1.
struct FakeResults {
  std::map<std::string, int> results;
  int16_t openLevel = 0;
  int Get(const std::string& op) const { return results.contains(op) ? results.at(op) : 1; }
};

class FakeLayer final : public CDataLayer {
 public:
  FakeLayer(CTileCache* cache, FakeLog* log, FakeResults* res, int serial)
      : CDataLayer(cache), log_(log), res_(res), serial_(serial) {}
  ~FakeLayer() override { ++log_->destroyed; }

  int32_t OpenDataLayer(int32_t, const char*, uint32_t) override { return R("OpenDataLayer"); }
  int16_t CloseDataLayer(int32_t, int32_t) override { return R16("CloseDataLayer"); }
  int16_t GetDataLayerParam(int32_t, DataLayerParam*) override { return R16("GetDataLayerParam"); }
  void SetLayerOperParam(const LayerOperParam*) override { Log("SetLayerOperParam"); }
  void GetLayerOperParam(LayerOperParam*) override { Log("GetLayerOperParam"); }
  double GetNullValue() override { return R("GetNullValue"); }
  int16_t CreatePyramidLayer(int32_t, int16_t, double, double) override { return R16("CreatePyramidLayer"); }
  int16_t OpenPyramidLayer(int32_t, int16_t level) override {
    const int16_t r = R16("OpenPyramidLayer");
    if (r == 1) res_->openLevel = level;
    return r;
  }
  int16_t GetPyramidLayerInfo(int32_t, int16_t, PyramidLayerInfo*) override { return R16("GetPyramidLayerInfo"); }
  int16_t GetPyLayerVatName(int32_t, int16_t, char*) override { return R16("GetPyLayerVatName"); }
  int16_t GetOpenPyramidLayer() override { return res_->openLevel; }
  int16_t GetOneTileInfo(int32_t, int32_t, int32_t, OneTileInfo*) override { return R16("GetOneTileInfo"); }
  int16_t SetCell(int32_t, int32_t, int32_t, double) override { return R16("SetCell"); }
  double GetCell(int32_t, int32_t, int32_t, uint8_t* isNull) override { return Cell("GetCell", isNull, 0, 42.0); }
  int16_t BeginWriteTile(int32_t, int32_t, int32_t) override { return R16("BeginWriteTile"); }
  int16_t EndWriteTile(uint8_t) override { return R16("EndWriteTile"); }
  void WriteCellOfTile(int32_t, int32_t, double) override { Log("WriteCellOfTile"); }
  int16_t BeginReadTile(int32_t, int32_t, int32_t) override { return R16("BeginReadTile"); }
  int16_t EndReadTile() override { return R16("EndReadTile"); }
  double ReadCellOfTile(int32_t, int32_t, uint8_t* isNull) override { return Cell("ReadCellOfTile", isNull, 1, 3.0); }
  int16_t BeginWritePyramidLayer(int16_t) override { return R16("BeginWritePyramidLayer"); }
  int16_t EndWritePyramidLayer() override { return R16("EndWritePyramidLayer"); }
  int16_t WriteOneTile(int32_t, int32_t, OneTileInfo*, const void*) override { return R16("WriteOneTile"); }
  int16_t BeginReadTileData(int16_t, int32_t, int32_t, int32_t) override { return R16("BeginReadTileData"); }
  int16_t EndReadTileData() override { return R16("EndReadTileData"); }
  double ReadCellOfTileData(int32_t, int32_t, uint8_t* isNull) override {
    return Cell("ReadCellOfTileData", isNull, 0, 5.0);
  }

 private:
  void Log(const std::string& op) { log_->calls.push_back(std::to_string(serial_) + ":" + op); }
  int R(const std::string& op) {
    Log(op);
    return res_->Get(op);
  }
  int16_t R16(const std::string& op) { return static_cast<int16_t>(R(op)); }
  double Cell(const std::string& op, uint8_t* isNull, uint8_t null, double v) {
    Log(op);
    *isNull = null;
    return v;
  }

  FakeLog* log_;
  FakeResults* res_;
  int serial_;
};

class FakeLayerFactory final : public LayerFactory {
 public:
  std::unique_ptr<CDataLayer> NewLocalLayer(CTileCache* cache) override { return Make(cache); }
  std::unique_ptr<CDataLayer> NewDbLayer(CTileCache* cache) override { return Make(cache); }
  int16_t CreateLocalLayerFiles(CTileCache*, const char*, const DataLayerParam*) override {
    return Op("CreateLocalLayerFiles");
  }
  int16_t DeleteLocalLayer(CTileCache*, const char*) override { return Op("DeleteLocalLayer"); }
  int16_t RenameLocalLayer(CTileCache*, const char*, const char*) override { return Op("RenameLocalLayer"); }
  int16_t CopyLocalLayer(CTileCache*, const char*, const char*) override { return Op("CopyLocalLayer"); }

  FakeLog log;
  FakeResults results;

 private:
  std::unique_ptr<CDataLayer> Make(CTileCache* cache) {
    return std::make_unique<FakeLayer>(cache, &log, &results, ++log.made);
  }
  int16_t Op(const std::string& op) {
    log.calls.push_back("factory:" + op);
    return static_cast<int16_t>(results.Get(op));
  }
};

}  // namespace dembase::testing

#endif  // DEMBASE_TESTS_SUPPORT_FAKE_LAYER_H_
