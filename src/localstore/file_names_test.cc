#include "localstore/file_names.h"

#include <gtest/gtest.h>

namespace dembase {
namespace {

TEST(FileNames, SplitAndJoin) {
  struct {
    const char* path;
    const char *drive, *dir, *fname, *ext;
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
    EXPECT_EQ(p.drive, c.drive) << c.path;
    EXPECT_EQ(p.dir, c.dir) << c.path;
    EXPECT_EQ(p.fname, c.fname) << c.path;
    EXPECT_EQ(p.ext, c.ext) << c.path;
    EXPECT_EQ(JoinPath(p), c.path);
  }
  EXPECT_EQ(JoinPath({"C:", "\\a", "b", "txt"}), "C:\\a\\b.txt");
}

TEST(FileNames, LayerDirectoryAndName) {
  EXPECT_EQ(LayerDirectory("D:\\maps\\hill.dem"), "D:\\maps\\");
  EXPECT_EQ(LayerName("D:\\maps\\hill.dem"), "hill");
  EXPECT_EQ(LayerDirectory("/srv/maps/hill.dem"), "/srv/maps/");
  EXPECT_EQ(LayerName("/srv/maps/hill.dem"), "hill");
  EXPECT_EQ(LayerDirectory("hill.dem"), "");
  // Without an extension the level-1 directory is the header file's own path, so
  // creating it later fails because the header exists.
  const std::string dir = *LayerDirectory("D:\\maps\\hill");
  EXPECT_EQ(*SystemPath(dir, MakeLevelRecord(*LayerName("D:\\maps\\hill"), 1)->directory), "D:\\maps\\hill\\");

  for (const char* bad : {"/srv/maps/.dem", "/srv/maps/", "/srv/...dem", "/srv/..", ""}) {
    EXPECT_FALSE(LayerName(bad)) << bad;
  }
  EXPECT_FALSE(LayerDirectory("/" + std::string(255, 'd') + "/x.dem"));
  EXPECT_TRUE(LayerDirectory(std::string(254, 'd') + "/x.dem"));
}

TEST(FileNames, LevelRecords) {
  struct {
    int level;
    const char *dir, *hdr, *dem;
  } cases[] = {
      {1, "hill\\", "hill\\hill.Hdr", "hill\\hill.Dem"},
      {2, "hill_1\\", "hill_1\\hill_1.Hdr", "hill_1\\hill_1.Dem"},
      {3, "hill_2\\", "hill_2\\hill_2.Hdr", "hill_2\\hill_2.Dem"},
      {5, "hill_4\\", "hill_4\\hill_4.Hdr", "hill_4\\hill_4.Dem"},
  };
  for (const auto& c : cases) {
    const std::optional<PyramidLevelRec> rec = MakeLevelRecord("hill", c.level);
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->directory, c.dir);
    EXPECT_EQ(rec->headerPath, c.hdr);
    EXPECT_EQ(rec->dataPath, c.dem);
    EXPECT_FALSE(rec->created);
  }
  EXPECT_FALSE(MakeLevelRecord("hill", 0));
  EXPECT_FALSE(MakeLevelRecord("", 1));
  EXPECT_FALSE(MakeLevelRecord("..", 1));
  EXPECT_FALSE(MakeLevelRecord("a/b", 1));
  EXPECT_FALSE(MakeLevelRecord("C:x", 1));
  // The header path holds the base twice: 127 + 1 + 127 + 4 = 259 fits, 128 does not.
  EXPECT_TRUE(MakeLevelRecord(std::string(127, 'n'), 1));
  EXPECT_FALSE(MakeLevelRecord(std::string(128, 'n'), 1));
  EXPECT_FALSE(MakeLevelRecord(std::string(126, 'n'), 10));  // "_9" makes it too long
}

TEST(FileNames, DataFilePath) {
  struct {
    int index;
    const char* want;
  } cases[] = {
      {0, "D:\\maps\\hill\\hill.Dem"},   {-3, "D:\\maps\\hill\\hill.Dem"}, {1, "D:\\maps\\hill\\hill1.Dem"},
      {2, "D:\\maps\\hill\\hill2.Dem"},  {10, "D:\\maps\\hill\\hill10.Dem"},
  };
  for (const auto& c : cases) EXPECT_EQ(DataFilePath("D:\\maps\\hill\\hill.Dem", c.index), c.want) << c.index;
  EXPECT_EQ(DataFilePath("/srv/maps/hill\\hill_1.Dem", 4095), "/srv/maps/hill\\hill_14095.Dem");
  const std::string longest = "/" + std::string(251, 'x') + "/a.Dem";
  ASSERT_EQ(longest.size(), 258u);  // one digit more reaches the 259-character limit
  EXPECT_TRUE(DataFilePath(longest, 9));
  EXPECT_FALSE(DataFilePath(longest, 10));
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
}

TEST(FileNames, SafeStoredPaths) {
  for (const char* ok : {"", "hill\\", "hill\\hill.Hdr", "a..b\\c", "hill_1/x.Dem"}) {
    EXPECT_TRUE(IsSafeStoredPath(ok)) << ok;
  }
  for (const char* bad : {"..", "..\\", ".\\x", "a\\..\\b", "a/../b", "a\\.", "\\x", "/x", "C:x", "C:\\x"}) {
    EXPECT_FALSE(IsSafeStoredPath(bad)) << bad;
  }
}

TEST(FileNames, LevelPathsFit) {
  const PyramidLevelRec rec = *MakeLevelRecord("hill", 1);
  EXPECT_TRUE(LevelPathsFit("/srv/maps/", rec, 4096));
  // hill\hill4095.Dem is 17 characters: the layer directory may hold 242.
  EXPECT_TRUE(LevelPathsFit(std::string(242, 'd'), rec, 4096));
  EXPECT_FALSE(LevelPathsFit(std::string(243, 'd'), rec, 4096));
  EXPECT_TRUE(LevelPathsFit(std::string(243, 'd'), rec, 1));
}

}  // namespace
}  // namespace dembase
