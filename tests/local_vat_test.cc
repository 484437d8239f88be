// Value attribute tables of local layers through the exports: naming, the refusals of
// the six calls, a library that is missing or lacks an entry point, and a library planted
// in the current directory, which must never be loaded.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "demvat.h"
#include "tests/support/local_store_fixture.h"

namespace dembase::testing {
namespace {

namespace fs = std::filesystem;

const std::vector<DemVatItem> kItems = {{-3, 0, 10}, {10, 0, 20}, {42, 5, 1}};

class LocalVatTest : public LocalStoreTest {
 protected:
  void SetUp() override {
    LocalStoreTest::SetUp();
    env_.SetLibraryFaults({false, "", DEMVAT_DIR});
    id_ = CreateAndOpen("t.dem", DEMBASE_TYPE_INT32, 600, 600);
    ASSERT_GE(id_, 1);
    ASSERT_EQ(_hxCreatePyramidLayer(h_, kLocal, id_, 2, 2, 2), 1);
    floatId_ = CreateAndOpen("f.dem", DEMBASE_TYPE_FLOAT32, 300, 300);
    ASSERT_GE(floatId_, 1);
  }
  int16_t Name(int32_t id, int16_t level, std::string* name = nullptr) {
    char buf[DEMBASE_MAX_PATH] = "";
    const int16_t r = _hxGetPyLayerVatName(h_, kLocal, id, level, buf);
    if (name != nullptr) *name = buf;
    return r;
  }
  int16_t Open(int16_t level, uint32_t create, int32_t id = 0) {
    return _hxOpenPyLayerVAT(h_, kLocal, id == 0 ? id_ : id, level, create);
  }
  int16_t Close() { return _hxClosePyLayerVAT(h_, kLocal, id_); }
  int16_t Item(int32_t value) { return _hxGetItemNum(h_, kLocal, id_, value); }
  int16_t SetClass(int32_t item, int32_t cls) { return _hxSetBaseItemSet(h_, kLocal, id_, item, cls); }
  int16_t Class(int32_t item) { return _hxGetBaseItemSet(h_, kLocal, id_, item); }
  void WriteItems(const std::string& path) {
    ASSERT_EQ(DemVatWriteTable(path.c_str(), kItems.data(), static_cast<int32_t>(kItems.size())), 1);
  }

  int32_t id_ = 0;
  int32_t floatId_ = 0;
};

TEST_F(LocalVatTest, TableIsNamedCreatedFilledQueriedAndKept) {
  const std::string level1 = Path("t/t.WB");
  std::string name;
  EXPECT_EQ(Name(id_, 1), -1);
  ASSERT_EQ(Open(1, 1), 1);
  EXPECT_EQ(Name(id_, 1, &name), 1);
  EXPECT_EQ(name, level1);
  EXPECT_EQ(Close(), 1);

  WriteItems(level1);
  ASSERT_EQ(Open(1, 0), 1);
  // Lookups are the value-table library's; here only that they reach it.
  EXPECT_EQ(Item(42), 3);
  EXPECT_EQ(Class(3), 5);
  EXPECT_EQ(SetClass(2, 7), 1);
  EXPECT_EQ(SetClass(4, 7), DEMVAT_E_ARGUMENT);  // no item 4: the library's code comes back
  // A layer closed with its table open writes the table back.
  EXPECT_EQ(SetClass(1, 9), 1);
  ASSERT_EQ(_hxClosePyramidLayer(h_, kLocal, id_), 1);
  ASSERT_EQ(_hxCloseDataLayer(h_, kLocal, id_), 1);
  std::vector<DemVatItem> back(3);
  ASSERT_EQ(DemVatReadTable(level1.c_str(), back.data(), 3), 3);
  EXPECT_EQ(back[0].itemSet, 9);
  EXPECT_EQ(back[1].itemSet, 7);
  // Tables are tied to the layer, not to the open level; deleting a level removes its table.
  id_ = _hxOpenDataLayer(h_, kLocal, Path("t.dem").c_str(), 0);
  ASSERT_GE(id_, 1);
  ASSERT_EQ(Open(2, 1), 1);
  EXPECT_EQ(Close(), 1);
  EXPECT_EQ(_hxDeletePyramidLayer(h_, kLocal, id_, 2), 1);
  EXPECT_FALSE(fs::exists(Path("t_1/t_1.WB")));
  EXPECT_TRUE(fs::exists(level1));
}

TEST_F(LocalVatTest, RefusalsLeaveTheLayerUsable) {
  char buf[DEMBASE_MAX_PATH];
  const struct {
    const char* what;
    std::function<int16_t()> call;
    int16_t want;
  } steps[] = {
      {"float layer name", [&] { return Name(floatId_, 1); }, 0},
      {"float layer create", [&] { return Open(1, 1, floatId_); }, 0},
      {"level 0 name", [&] { return Name(id_, 0); }, 0},
      {"level 3 name (not created)", [&] { return Name(id_, 3); }, 0},
      {"no nameOut", [&] { return _hxGetPyLayerVatName(h_, kLocal, id_, 1, nullptr); }, 0},
      {"unknown layer", [&] { return _hxGetPyLayerVatName(h_, kLocal, 99, 1, buf); }, 0},
      {"level 3 create", [&] { return Open(3, 1); }, 0},
      {"open without a file", [&] { return Open(1, 0); }, -1},
      {"close without a table", [&] { return Close(); }, 0},
      {"item without a table", [&] { return Item(1); }, 0},
      {"set without a table", [&] { return SetClass(1, 1); }, 0},
      {"get without a table", [&] { return Class(1); }, 0},
      {"create level 2", [&] { return Open(2, 1); }, 1},
      {"second create", [&] { return Open(1, 1); }, 0},
      {"set class of item 0", [&] { return SetClass(0, 1); }, 0},
      {"set class count 0", [&] { return SetClass(1, 0); }, 0},
      {"delete the level of the open table", [&] { return _hxDeletePyramidLayer(h_, kLocal, id_, 2); }, 0},
      {"close", [&] { return Close(); }, 1},
      {"create over a table", [&] { return Open(2, 1); }, -2},
      {"reopen", [&] { return Open(2, 0); }, 1},
      {"close again", [&] { return Close(); }, 1},
      {"damage the file", [&] { return fs::resize_file(Path("t_1/t_1.WB"), 7), int16_t{1}; }, 1},
      {"open a damaged table", [&] { return Open(2, 0); }, 0},
      {"create over a damaged table", [&] { return Open(2, 1); }, -2},
      {"close after failed opens", [&] { return Close(); }, 0},
      {"create on level 1 after failures", [&] { return Open(1, 1); }, 1},
      {"close level 1", [&] { return Close(); }, 1},
  };
  for (const auto& s : steps) EXPECT_EQ(s.call(), s.want) << s.what;
  EXPECT_FALSE(fs::exists(Path("f/f.WB")));
}

// What each call answers when the library is missing, lacks one entry point or is looked for
// anywhere but an absolute directory; however the close went, the table was let go: with the
// whole library the next open succeeds. A working libdemvat.so planted in the current directory
// is never the one loaded.
TEST_F(LocalVatTest, AnswersZeroWithoutTheEntryPoint) {
  platform::TestTempDir cwd;
  ASSERT_FALSE(cwd.path().empty());
  ASSERT_TRUE(fs::copy_file(std::string(DEMVAT_DIR) + "libdemvat.so", cwd.Join("libdemvat.so")));
  ASSERT_NE(platform::Env::Default()->LoadLibrary(cwd.Join("libdemvat.so")), nullptr);
  const fs::path before = fs::current_path();
  fs::current_path(cwd.path());
  const struct {
    const char* what;
    bool loadFails;
    const char* dir;  // nullptr: the test program's, which has no library
    const char* hidden;
    int16_t create, open, item, set, get, close;
  } rows[] = {
      {"complete", false, DEMVAT_DIR, "", 1, 1, 2, 1, 3, 1},
      {"load fails", true, DEMVAT_DIR, "", 0, 0, 2, 1, 3, 1},
      {"no directory", false, "", "", 0, 0, 2, 1, 3, 1},
      {"relative directory", false, "./", "", 0, 0, 2, 1, 3, 1},
      {"directory without a slash", false, ".", "", 0, 0, 2, 1, 3, 1},
      {"directory without the library", false, nullptr, "", 0, 0, 2, 1, 3, 1},
      {"no CreateVatFile", false, DEMVAT_DIR, "CreateVatFile", 0, 1, 2, 1, 3, 1},
      {"no OpenVatFile", false, DEMVAT_DIR, "OpenVatFile", 1, 0, 2, 1, 3, 1},
      {"no CloseVatFile", false, DEMVAT_DIR, "CloseVatFile", 1, 1, 2, 1, 3, 0},
      {"no GetItemNum", false, DEMVAT_DIR, "GetItemNum", 1, 1, 0, 1, 3, 1},
      {"no SetBaseItemSet", false, DEMVAT_DIR, "SetBaseItemSet", 1, 1, 2, 0, 0, 1},
      {"no GetBaseItemSet", false, DEMVAT_DIR, "GetBaseItemSet", 1, 1, 2, 1, 0, 1},
  };
  for (const auto& c : rows) {
    SCOPED_TRACE(c.what);
    WriteItems(Path("t/t.WB"));
    fs::remove(Path("t_1/t_1.WB"));
    env_.SetLibraryFaults({c.loadFails, c.hidden, c.dir == nullptr ? std::nullopt : std::optional<std::string>(c.dir)});
    EXPECT_EQ(Open(2, 1), c.create);
    EXPECT_EQ(fs::exists(Path("t_1/t_1.WB")), c.create == 1);
    EXPECT_EQ(c.create == 1 ? Close() : 0, c.create == 1 ? c.close : 0);
    EXPECT_EQ(Open(1, 0), c.open);
    EXPECT_EQ(Item(10), c.open == 1 ? c.item : 0);
    EXPECT_EQ(SetClass(1, 3), c.open == 1 ? c.set : 0);
    EXPECT_EQ(Class(1), c.open == 1 ? c.get : 0);
    EXPECT_EQ(Close(), c.open == 1 ? c.close : 0);
    for (const fs::path p : env_.library_loads()) EXPECT_TRUE(p.is_absolute() && p.parent_path() != cwd.path()) << p;
    env_.SetLibraryFaults({false, "", DEMVAT_DIR});
    EXPECT_EQ(Open(1, 0), 1);
    EXPECT_EQ(Close(), 1);
  }
  fs::current_path(before);
}

}  // namespace
}  // namespace dembase::testing
