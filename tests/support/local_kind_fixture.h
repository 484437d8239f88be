// A local-store test run once per layer kind (cell type x compression): layers are
// made and reopened with the kind's compression set, since that setting is per open
// layer and never stored. Tests only.
#ifndef DEMBASE_TESTS_SUPPORT_LOCAL_KIND_FIXTURE_H_
#define DEMBASE_TESTS_SUPPORT_LOCAL_KIND_FIXTURE_H_

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <optional>
#include <string>

#include "tests/support/cell_calls.h"
#include "tests/support/local_store_fixture.h"

namespace dembase::testing {

class LocalKindTest : public LocalStoreTest, public ::testing::WithParamInterface<LayerKind> {
 protected:
  const LayerKind& kind() const { return GetParam(); }
  double NullValue() const {
    return kind().is_float() ? static_cast<double>(std::bit_cast<float>(DEMBASE_NULL_FLOAT32_BITS))
                             : static_cast<double>(DEMBASE_NULL_INT32);
  }

  // Layer <stem>.dem with level 1 open; its level files lie in directory <stem>.
  // Layer id 0 in the result when something failed.
  CellCalls Make(const std::string& stem, int32_t rows, int32_t cols) {
    const int32_t id = CreateAndOpen(stem + ".dem", kind().type, rows, cols);
    CellCalls calls(h_, id);
    if (id >= 1 && !calls.SetOper(kind().compress)) return CellCalls(h_, 0);
    return calls;
  }
  // Closes level and layer and opens both again.
  CellCalls Again(const CellCalls& calls, const std::string& stem) {
    const int32_t id = Reopen(calls.layer(), stem + ".dem");
    CellCalls again(h_, id);
    if (id >= 1 && !again.SetOper(kind().compress)) return CellCalls(h_, 0);
    return again;
  }
  // The layer's value range once its level is closed (which is when it is made).
  ValueRange RangeAfterLevelClose(const CellCalls& calls) {
    EXPECT_EQ(_hxClosePyramidLayer(h_, kLocal, calls.layer()), 1);
    const std::optional<ValueRange> range = calls.LayerRange();
    EXPECT_TRUE(range.has_value());
    return range.value_or(ValueRange{});
  }
};

inline std::string KindName(const ::testing::TestParamInfo<LayerKind>& info) { return info.param.name(); }

}  // namespace dembase::testing

#endif  // DEMBASE_TESTS_SUPPORT_LOCAL_KIND_FIXTURE_H_
