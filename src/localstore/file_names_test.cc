#include "localstore/file_names.h"

#include <gtest/gtest.h>

namespace dembase {
namespace {

using Opt = std::optional<std::string>;

TEST(FileNames, SplitAndJoin) {
  const struct {
    const char *path, *drive, *dir, *fname, *ext;
  } cases[] = {
      {"D:\\maps\\hill.dem", "D:", "\\maps\\", "hill", ".dem"},
      {"/data/maps/hill.dem", "", "/data/maps/", "hill", ".dem"},
      {"D:\\maps/sub\\hill.v2.dem", "D:", "\\maps/sub\\", "hill.v2", ".dem"},
      {"D:\\maps\\hill", "D:", "\\maps\\", "hill", ""},
      {"maps.d/hill", "", "maps.d/", "hill", ""},
      {"hill.dem", "", "", "hill", ".dem"},
      {"/data/.dem", "", "/data/", "", ".dem"},
      {"/data/", "", "/data/", "", ""},
      {"", "", "", "", ""},
  };
  for (const auto& c : cases) {
    const PathParts p = SplitPath(c.path);
    EXPECT_EQ((std::vector<std::string>{p.drive, p.dir, p.fname, p.ext}),
              (std::vector<std::string>{c.drive, c.dir, c.fname, c.ext}))
        << c.path;
    EXPECT_EQ(JoinPath(p), c.path);
  }
  EXPECT_EQ(JoinPath({"C:", "\\a", "b", "txt"}), "C:\\a\\b.txt");
}

TEST(FileNames, LayerDirectoryAndName) {
  const struct {
    std::string path;
    Opt dir, name;
  } cases[] = {
      {"D:\\maps\\hill.dem", "D:\\maps\\", "hill"}, {"/srv/maps/hill.dem", "/srv/maps/", "hill"},
      {"hill.dem", "", "hill"},                     {"/srv/maps/.dem", "/srv/maps/", {}},
      {"/srv/maps/", "/srv/maps/", {}},             {"/srv/...dem", "/srv/", {}},
      {"/srv/..", "/srv/", {}},                     {"", "", {}},
      {"/" + std::string(255, 'd') + "/x.dem", {}, "x"},
      {std::string(254, 'd') + "/x.dem", std::string(254, 'd') + "/", "x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LayerDirectory(c.path), c.dir) << c.path;
    EXPECT_EQ(LayerName(c.path), c.name) << c.path;
  }
  // Without an extension the level-1 directory is the header file's own path, so
  // creating it later fails because the header exists.
  EXPECT_EQ(SystemPath(*LayerDirectory("D:\\maps\\hill"), MakeLevelRecord("hill", 1)->directory), "D:\\maps\\hill\\");
}

TEST(FileNames, LevelRecords) {
  for (const auto& [level, suffix] : {std::pair{1, ""}, {2, "_1"}, {3, "_2"}, {5, "_4"}}) {
    const std::optional<PyramidLevelRec> rec = MakeLevelRecord("hill", level);
    const std::string base = std::string("hill") + suffix;
    ASSERT_TRUE(rec) << level;
    EXPECT_EQ(*rec, (PyramidLevelRec{base + "\\", base + "\\" + base + ".Hdr", base + "\\" + base + ".Dem", false}));
  }
  // The header path holds the base twice: 127 + 1 + 127 + 4 = 259 fits, 128 does not.
  const struct {
    std::string name;
    int level;
    bool ok;
  } cases[] = {{"hill", 0, false}, {"", 1, false},   {"..", 1, false},  {"a/b", 1, false},  {"C:x", 1, false},
               {std::string(127, 'n'), 1, true},   {std::string(128, 'n'), 1, false},
               {std::string(126, 'n'), 10, false}};  // "_9" makes it too long
  for (const auto& c : cases) EXPECT_EQ(MakeLevelRecord(c.name, c.level).has_value(), c.ok) << c.name << c.level;
}

TEST(FileNames, DataFilePath) {
  const struct {
    std::string path;
    int index;
    Opt want;
  } cases[] = {
      {"D:\\m\\hill.Dem", 0, "D:\\m\\hill.Dem"},     {"D:\\m\\hill.Dem", -3, "D:\\m\\hill.Dem"},
      {"D:\\m\\hill.Dem", 1, "D:\\m\\hill1.Dem"},    {"D:\\m\\hill.Dem", 10, "D:\\m\\hill10.Dem"},
      {"/srv/h\\h_1.Dem", 4095, "/srv/h\\h_14095.Dem"},
      // 258 characters: one digit more reaches the 259-character limit
      {"/" + std::string(251, 'x') + "/a.Dem", 9, "/" + std::string(251, 'x') + "/a9.Dem"},
      {"/" + std::string(251, 'x') + "/a.Dem", 10, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(DataFilePath(c.path, c.index), c.want) << c.index;
}

TEST(FileNames, SystemAndVatPaths) {
  EXPECT_EQ(SystemPath("D:\\maps\\", "hill\\hill.Hdr"), "D:\\maps\\hill\\hill.Hdr");
  EXPECT_EQ(SystemPath("/srv/maps/", "hill_1\\hill_1.Dem"), "/srv/maps/hill_1\\hill_1.Dem");
  EXPECT_FALSE(SystemPath("/srv/maps/", "..\\x"));
  EXPECT_FALSE(SystemPath("/srv/maps/", "/etc/passwd"));
  EXPECT_FALSE(SystemPath(std::string(250, 'd'), "hill\\hill.Hdr"));
  EXPECT_EQ(VatFilePath("D:\\maps\\", "Relief\\Relief.Hdr"), "D:\\maps\\Relief\\Relief.WB");
  EXPECT_EQ(VatFilePath("/srv/", "Relief_2\\Relief_2.Hdr"), "/srv/Relief_2\\Relief_2.WB");
  EXPECT_FALSE(VatFilePath("/srv/", "C:Relief\\Relief.Hdr"));
  for (const char* ok : {"", "hill\\", "hill\\hill.Hdr", "a..b\\c", "hill_1/x.Dem"}) {
    EXPECT_TRUE(IsSafeStoredPath(ok)) << ok;
  }
  for (const char* bad : {"..", "..\\", ".\\x", "a\\..\\b", "a/../b", "a\\.", "\\x", "/x", "C:x", "C:\\x"}) {
    EXPECT_FALSE(IsSafeStoredPath(bad)) << bad;
  }
  // hill\hill4095.Dem is 17 characters: the layer directory may hold 242.
  const PyramidLevelRec rec = *MakeLevelRecord("hill", 1);
  EXPECT_TRUE(LevelPathsFit("/srv/maps/", rec, 4096));
  EXPECT_TRUE(LevelPathsFit(std::string(242, 'd'), rec, 4096));
  EXPECT_FALSE(LevelPathsFit(std::string(243, 'd'), rec, 4096));
  EXPECT_TRUE(LevelPathsFit(std::string(243, 'd'), rec, 1));
}

}  // namespace
}  // namespace dembase
