#include "localstore/background_inflater.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "cache/tile_codec.h"
#include "cells/cell_address.h"

namespace dembase {
namespace {

// A tile block filled with `seed`-dependent bytes and its zlib payload.
struct Packed {
  std::vector<uint8_t> cells;
  std::vector<uint8_t> payload;
  TileIndexRec rec{};
};

Packed Pack(uint8_t seed, uint32_t offset) {
  Packed p{std::vector<uint8_t>(kTileBlockBytes), std::vector<uint8_t>(2 * kTileBlockBytes)};
  for (size_t i = 0; i < p.cells.size(); ++i) p.cells[i] = static_cast<uint8_t>((i / 1024) * seed);
  uint32_t n = 0;
  EXPECT_EQ(CompressTile(p.cells.data(), kTileBlockBytes, p.payload.data(), &n), 1);
  p.payload.resize(n);
  p.rec = TileIndexRec{offset, 1, n, 0.0f, 0.0f};
  return p;
}

bool Takes(BackgroundInflater& b, uint64_t key, const Packed& p) {
  HeapBuffer cells;
  if (!cells.Allocate(kTileBlockBytes) || !b.TakeInto(key, p.rec, &cells)) return false;
  return std::memcmp(cells.data(), p.cells.data(), kTileBlockBytes) == 0;
}

TEST(BackgroundInflaterTest, HandsOutEachJobOnceForItsKeyAndRecordAndRefusesBadOnes) {
  BackgroundInflater b;
  const Packed one = Pack(3, 100), two = Pack(5, 200), three = Pack(7, 300);
  ASSERT_TRUE(b.Start(1, one.rec, one.payload));
  ASSERT_TRUE(b.Start(2, two.rec, two.payload));
  EXPECT_TRUE(b.Has(1) && b.Has(2));
  Packed moved = one;
  moved.rec.offset = 999;  // the tile was rewritten elsewhere since
  EXPECT_FALSE(Takes(b, 1, moved));
  EXPECT_TRUE(Takes(b, 1, one));
  EXPECT_FALSE(Takes(b, 1, one)) << "handed out twice";
  std::vector<uint8_t> block(kTileBlockBytes);
  ASSERT_TRUE(b.CopyTo(2, two.rec, block.data()));
  EXPECT_EQ(block, two.cells);

  // A database tile rewritten in place keeps its key and can keep its record: the payload
  // read now decides, and a job for other bytes is dropped.
  ASSERT_TRUE(b.Start(2, two.rec, two.payload));
  std::vector<uint8_t> rewritten = two.payload;
  rewritten.back() ^= 1;
  EXPECT_FALSE(b.CopyTo(2, two.rec, block.data(), rewritten));
  EXPECT_FALSE(b.Has(2));
  ASSERT_TRUE(b.Start(2, two.rec, two.payload));
  block.assign(kTileBlockBytes, 0);
  ASSERT_TRUE(b.CopyTo(2, two.rec, block.data(), two.payload));
  EXPECT_EQ(block, two.cells);

  // A new job pushes out the oldest, and Drop forgets all. Jobs taken before the worker
  // reached them are inflated by the taker: the answers are the same either way.
  b.Drop();
  std::vector<Packed> queued = {one, two, three};
  while (queued.size() < static_cast<size_t>(BackgroundInflater::kTilesAhead) + 1) {
    queued.push_back(Pack(9, static_cast<uint32_t>(100 * queued.size())));
  }
  for (size_t k = 0; k < queued.size(); ++k) ASSERT_TRUE(b.Start(k + 1, queued[k].rec, queued[k].payload));
  EXPECT_FALSE(b.Has(1));
  EXPECT_FALSE(Takes(b, 1, one));
  EXPECT_TRUE(Takes(b, 3, three));
  b.Drop();
  EXPECT_FALSE(b.Has(2));
  EXPECT_FALSE(Takes(b, 2, two));

  // A taker that finds the worker on its tile inflates a later one meanwhile; whoever
  // inflated a job, each hands out its own cells once, and a broken one fails alone.
  b.Drop();
  std::vector<Packed> round = {one, two, three, Pack(11, 400)};
  round[2].payload[round[2].payload.size() / 2] ^= 0x5A;
  for (int pass = 0; pass < 50; ++pass) {
    for (size_t k = 0; k < round.size(); ++k) ASSERT_TRUE(b.Start(k + 1, round[k].rec, round[k].payload));
    for (size_t k = 0; k < round.size(); ++k) EXPECT_EQ(Takes(b, k + 1, round[k]), k != 2) << pass << " " << k;
    EXPECT_FALSE(b.Has(4));
  }

  // What it cannot inflate is refused.
  Packed bad = Pack(3, 100);
  bad.payload[bad.payload.size() / 2] ^= 0x5A;  // the stream's checksum fails
  ASSERT_TRUE(b.Start(1, bad.rec, bad.payload));
  EXPECT_FALSE(Takes(b, 1, bad));
  Packed raw = Pack(5, 200);
  raw.rec.packed = 0;
  EXPECT_FALSE(b.Start(2, raw.rec, raw.payload));
  Packed shortened = Pack(5, 200);
  shortened.rec.storedSize += 1;  // the record and the bytes disagree
  EXPECT_FALSE(b.Start(3, shortened.rec, shortened.payload));
}

}  // namespace
}  // namespace dembase
