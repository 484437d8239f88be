// libdemvat through its entry points: tables written, opened, queried and closed; every
// damaged file refused; handles checked and shared safely between threads.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "demvat.h"
#include "src/platform/test_temp_dir.h"
#include "table_codec.h"
#include "table_file.h"

namespace dembase::vat {
namespace {

using Bytes = std::vector<uint8_t>;
const std::vector<DemVatItem> kItems = {{-7, 0, 3}, {0, 2, 100}, {5, 0, 1}, {300000, 0, 1ull << 40}};

Bytes Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The result of opening the file, with the handle closed again.
int32_t OpenResult(const std::string& path) {
  const int32_t h = OpenVatFile(path.c_str(), 0, 0, 0);
  if (h > 0) {
    EXPECT_EQ(CloseVatFile(h), 1);
  }
  return h > 0 ? 1 : h;
}

class DemVatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_EQ(DemVatWriteTable(path_.c_str(), kItems.data(), static_cast<int32_t>(kItems.size())), 1);
  }
  platform::TestTempDir dir_;
  std::string path_ = dir_.Join("t.WB");
};

TEST_F(DemVatTest, TableAnswersItemsAndKeepsClasses) {
  // The documented layout, byte for byte.
  const Bytes bytes = Slurp(path_);
  ASSERT_EQ(bytes.size(), 16u + 16 * kItems.size() + 4);
  EXPECT_EQ(std::memcmp(bytes.data(), "DEMVAT\r\n\1\0\0\0\4\0\0\0", 16), 0);
  EXPECT_EQ(Bytes(bytes.begin() + 16, bytes.begin() + 32),
            (Bytes{0xF9, 0xFF, 0xFF, 0xFF, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(bytes[32 + 12], 2);  // the class of value 0

  const int32_t h = OpenVatFile(path_.c_str(), 0, 0, 0);
  ASSERT_GT(h, 0);
  for (const auto& [value, item] :
       {std::pair{-7, 1}, {0, 2}, {5, 3}, {300000, 4}, {1, 0}, {-8, 0}, {300001, 0}, {2100000000, 0}}) {
    EXPECT_EQ(GetItemNum(h, value), item) << value;
  }
  // Classes are read, then set; the items are numbered 1 to 4.
  for (const auto& [item, want] : {std::pair{2, 2}, {1, 0}, {0, DEMVAT_E_ARGUMENT}, {5, DEMVAT_E_ARGUMENT}}) {
    EXPECT_EQ(GetBaseItemSet(h, item), want) << item;
  }
  for (const auto& [item, set] : {std::pair{1, 9}, {2, 0}, {4, DEMVAT_MAX_ITEM_SETS}}) {
    EXPECT_EQ(SetBaseItemSet(h, item, set), 1) << item;
  }
  for (const auto& [item, set] : {std::pair{0, 1}, {5, 1}, {-1, 1}, {1, DEMVAT_MAX_ITEM_SETS + 1}, {1, -1}}) {
    EXPECT_EQ(SetBaseItemSet(h, item, set), DEMVAT_E_ARGUMENT) << item << " " << set;
  }
  EXPECT_EQ(CloseVatFile(h), 1);
  // Closed handles, and handles never given, are refused.
  for (const int32_t bad : {h, 0, -1, h + 256, h + 1, INT32_MAX}) {
    EXPECT_EQ(GetItemNum(bad, 0), DEMVAT_E_ARGUMENT) << bad;
    EXPECT_EQ(CloseVatFile(bad), DEMVAT_E_ARGUMENT) << bad;
  }
  std::vector<DemVatItem> back(8);
  ASSERT_EQ(DemVatReadTable(path_.c_str(), back.data(), 8), 4);
  const std::vector<DemVatItem> want = {{-7, 9, 3}, {0, 0, 100}, {5, 0, 1}, {300000, DEMVAT_MAX_ITEM_SETS, 1ull << 40}};
  EXPECT_EQ(EncodeTable(std::span(back.data(), 4)), EncodeTable(want));
  EXPECT_EQ(DemVatReadTable(path_.c_str(), nullptr, 0), 4);
}

TEST_F(DemVatTest, RefusesBadArgumentsAndKeepsTheFile) {
  const Bytes before = Slurp(path_);
  std::vector<DemVatItem> tooMany(DEMVAT_MAX_ITEMS + 1);
  for (size_t i = 0; i < tooMany.size(); ++i) tooMany[i] = {static_cast<int32_t>(i), 0, 1};
  const struct {
    std::vector<DemVatItem> items;
    int32_t want;
  } writes[] = {
      {{{1, 0, 1}, {1, 0, 1}}, DEMVAT_E_ARGUMENT},  // a value twice
      {{{2, 0, 1}, {1, 0, 1}}, DEMVAT_E_ARGUMENT},  // descending
      {{{1, 0, 0}}, DEMVAT_E_ARGUMENT},             // no cells
      {{{2100000000, 0, 1}}, DEMVAT_E_ARGUMENT},    // the null value
      {{{1, -1, 1}}, DEMVAT_E_ARGUMENT},            // class out of range
      {{{1, DEMVAT_MAX_ITEM_SETS + 1, 1}}, DEMVAT_E_ARGUMENT},
      {tooMany, DEMVAT_E_LIMIT},
  };
  for (const auto& w : writes) {
    EXPECT_EQ(DemVatWriteTable(path_.c_str(), w.items.data(), static_cast<int32_t>(w.items.size())), w.want);
  }
  EXPECT_EQ(DemVatWriteTable(path_.c_str(), nullptr, 1), DEMVAT_E_ARGUMENT);
  EXPECT_EQ(DemVatWriteTable(nullptr, kItems.data(), 1), DEMVAT_E_ARGUMENT);
  EXPECT_EQ(DemVatWriteTable(dir_.Join("no/such/dir.WB").c_str(), kItems.data(), 1), DEMVAT_E_IO);
  EXPECT_EQ(Slurp(path_), before);

  ASSERT_EQ(mkfifo(dir_.Join("fifo").c_str(), 0600), 0);
  const struct {
    std::string path;
    int32_t create, open;
  } opens[] = {
      {path_, DEMVAT_E_EXISTS, 1},
      {dir_.path(), DEMVAT_E_EXISTS, DEMVAT_E_IO},
      {dir_.Join("fifo"), DEMVAT_E_EXISTS, DEMVAT_E_IO},  // never blocks on the pipe
      {dir_.Join("missing.WB"), 1, 1},                    // created empty, then opened
      {dir_.Join("no/such.WB"), DEMVAT_E_IO, DEMVAT_E_IO},
      {"", DEMVAT_E_ARGUMENT, DEMVAT_E_ARGUMENT},
  };
  for (const auto& o : opens) {
    const int32_t h = CreateVatFile(o.path.c_str(), 0, 0, 0);
    EXPECT_EQ(h > 0 ? 1 : h, o.create) << o.path;
    if (h > 0) {
      EXPECT_EQ(CloseVatFile(h), 1);
    }
    EXPECT_EQ(OpenResult(o.path), o.open) << o.path;
  }
  EXPECT_EQ(OpenVatFile(nullptr, 0, 0, 0), DEMVAT_E_ARGUMENT);
  EXPECT_EQ(DemVatReadTable(dir_.Join("missing.WB").c_str(), nullptr, 0), 0);
  EXPECT_EQ(Slurp(path_), before);
}

// Every cut and every flipped byte of a table is refused, and nothing reads past the end
// (the sanitizer build would catch it).
TEST_F(DemVatTest, DamagedFilesAreRefused) {
  const Bytes good = Slurp(path_);
  const std::string damaged = dir_.Join("damaged.WB");
  const auto refused = [&](const Bytes& bytes, int32_t want, const std::string& what) {
    std::ofstream(damaged, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    EXPECT_EQ(OpenResult(damaged), want) << what;
    EXPECT_EQ(DemVatReadTable(damaged.c_str(), nullptr, 0), want) << what;
  };
  for (size_t n = 0; n <= good.size(); ++n) {
    Bytes bytes(good.begin(), good.begin() + static_cast<ptrdiff_t>(n));
    if (n == good.size()) bytes.push_back(0);  // one byte more
    refused(bytes, DEMVAT_E_CORRUPT, "cut to " + std::to_string(n));
  }
  for (size_t i = 0; i < good.size(); ++i) {
    for (const uint8_t mask : {0x01, 0x80, 0xFF}) {
      Bytes bytes = good;
      bytes[i] ^= mask;
      // The version field decides the layout: damage there reads as another version.
      refused(bytes, i >= 8 && i < 12 ? DEMVAT_E_VERSION : DEMVAT_E_CORRUPT, "byte " + std::to_string(i));
    }
  }
  // Sealed with a right checksum, yet against the rules of the format.
  const struct {
    size_t at;
    uint8_t value;
    int32_t want;
  } sealed[] = {
      {8, 2, DEMVAT_E_VERSION},          // version 2
      {12, 5, DEMVAT_E_CORRUPT},         // more items than bytes
      {19, 0x7F, DEMVAT_E_CORRUPT},      // item 1 above item 2 (-7 becomes 2147483641)
      {20, 0, DEMVAT_E_CORRUPT},         // item 1 without cells (3 becomes 0)
      {28 + 1, 0x80, DEMVAT_E_CORRUPT},  // class 32768
      {30, 1, DEMVAT_E_CORRUPT},         // reserved field not 0
      {32 + 4, 0, DEMVAT_E_CORRUPT},     // item 2 without cells (100 becomes 0)
  };
  for (const auto& s : sealed) {
    Bytes bytes = good;
    bytes[s.at] = s.value;
    const uint32_t crc = Crc32(std::span<const uint8_t>(bytes.data(), bytes.size() - 4));
    for (int i = 0; i < 4; ++i) bytes[bytes.size() - 4 + i] = static_cast<uint8_t>(crc >> (8 * i));
    refused(bytes, s.want, "sealed byte " + std::to_string(s.at));
  }
  // A file longer than any table is refused without being read in.
  std::filesystem::resize_file(damaged, kMaxTableBytes + 1);
  EXPECT_EQ(OpenResult(damaged), DEMVAT_E_CORRUPT);
}

TEST_F(DemVatTest, HandlesAreSharedSafelyAndRunOut) {
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (size_t t = 0; t < failures.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        const int32_t h = OpenVatFile(path_.c_str(), 0, 0, 0);
        const bool ok = h > 0 && GetItemNum(h, 5) == 3 && GetBaseItemSet(h, 2) == 2 && CloseVatFile(h) == 1;
        failures[t] += ok ? 0 : 1;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (const int f : failures) EXPECT_EQ(f, 0);
  std::vector<int32_t> open;
  for (int32_t h = OpenVatFile(path_.c_str(), 0, 0, 0); h > 0; h = OpenVatFile(path_.c_str(), 0, 0, 0)) {
    open.push_back(h);
  }
  EXPECT_EQ(open.size(), 255u);
  EXPECT_EQ(OpenVatFile(path_.c_str(), 0, 0, 0), DEMVAT_E_LIMIT);
  for (const int32_t h : open) EXPECT_EQ(CloseVatFile(h), 1);
}

// A table written (a new one, or in place of the old one, as every writer of the library
// does), failing at each of its file-system calls: the file holds the old table or the new
// one (the old one whenever the answer is a failure before the rename), no temporary file
// stays beside it, and the write answers 1 only when nothing failed.
TEST_F(DemVatTest, FailedWritesLeaveTheOldTableOrTheNew) {
  const std::vector<DemVatItem> items = {{1, 0, 2}, {9, 4, 3}};
  const Bytes fresh = EncodeTable(items);
  for (const bool replace : {true, false}) {
    SCOPED_TRACE(replace ? "replace" : "create");
    int64_t n = 1;
    for (; n < 40; ++n) {
      SCOPED_TRACE(n);
      if (replace) {
        ASSERT_EQ(DemVatWriteTable(path_.c_str(), kItems.data(), static_cast<int32_t>(kItems.size())), 1);
      } else {
        std::error_code ec;
        std::filesystem::remove(path_, ec);  // false when the last attempt made no file
        ASSERT_FALSE(ec);
      }
      const Bytes old = Slurp(path_);
      FailNthCallForTesting(n);
      const int32_t r = WriteFileAtomically(path_, fresh, replace);
      const bool failed = CallFailedForTesting();
      FailNthCallForTesting(0);
      EXPECT_EQ(r == 1, !failed) << r;
      const Bytes now = Slurp(path_);
      EXPECT_TRUE(now == fresh || (r != 1 && now == old)) << now.size();
      EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), now.empty() ? 0 : 1);
      if (!failed) break;
    }
    EXPECT_GT(n, 4);
  }
}

}  // namespace
}  // namespace dembase::vat
