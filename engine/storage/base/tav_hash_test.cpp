#include "engine/storage/base/tav_hash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/storage/base/tav_errors.h"

namespace tav {
namespace {

bool Has(const TTavBaseHash& h, const std::string& k) {
  return h.Find(k.data(), static_cast<int>(k.size()));
}

std::multiset<uint32_t> Matches(const TTavBaseHash& h, const std::string& k) {
  TSortedList l;
  h.GetPossibleMatchList(k.data(), static_cast<int>(k.size()), l);
  return {l.List().begin(), l.List().end()};
}

template <class F>
int ErrorCodeOf(F f) {
  try {
    f();
  } catch (const ETavDatabaseError& e) {
    return e.ErrorCode();
  }
  return 0;
}

TEST(BaseHashTest, HashOfRotatesAndXors) {
  struct TProbe : TTavBaseHash {
    TProbe() : TTavBaseHash(10, 4, 10) {}
    using TTavBaseHash::HashOf;
  } probe;
  const unsigned char k[] = {1, 2, 0x80};
  // ((1 rol 2) ^ 2) rol 2 ^ 0x80 = (4 ^ 2) << 2 ^ 0x80 = 0x18 ^ 0x80.
  EXPECT_EQ(probe.HashOf(k, 3), 0x98u);
  std::vector<unsigned char> ones(17, 0xFF);
  uint32_t h = 0;
  for (unsigned char b : ones) h = ((h << 2) | (h >> 30)) ^ b;
  EXPECT_EQ(probe.HashOf(ones.data(), 17), h);
}

TEST(BaseHashTest, ShortKeysMatchOnlyTheirOwnLength) {
  TTavBaseHash h(1, 8, 1);  // one bucket: every key meets every other
  h.Add("abc", 3, 7);
  EXPECT_TRUE(Has(h, "abc"));
  EXPECT_FALSE(Has(h, "ab"));  // the stored byte after "ab" is 'c', not 0
  EXPECT_FALSE(Has(h, "abcd"));
  EXPECT_EQ(h.ValueOf("abc", 3), 7u);
  EXPECT_EQ(h.ValueOf("abd", 3), TTavBaseHash::kNotFound);
  const std::string full = "abcdefgh";
  EXPECT_FALSE(Has(h, full));
}

TEST(BaseHashTest, AReusedSlotForgetsItsOldKey) {
  TTavBaseHash h(1, 8, 1);  // one entry: every add reuses the same key slot
  h.Add("abcdefgh", 8, 1);
  ASSERT_TRUE(h.Delete("abcdefgh", 8, 1));
  h.Add("ab", 2, 2);
  EXPECT_TRUE(Has(h, "ab"));  // "ab" followed by the old "cdefgh" would not match
  EXPECT_EQ(h.ValueOf("ab", 2), 2u);
  EXPECT_FALSE(Has(h, "abcdefgh"));
}

TEST(BaseHashTest, CallerContractsRaise) {
  EXPECT_EQ(ErrorCodeOf([] { TTavBaseHash h(10, 8, 11); }), 9986);
  try {
    TTavBaseHash h(10, 8, 11);
  } catch (const ETavDatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("Hash key max is greater than hash size"),
              std::string::npos);
  }
  EXPECT_EQ(ErrorCodeOf([] { TTavBaseHash h(0, 8, 0); }), 9986);
  EXPECT_EQ(ErrorCodeOf([] { TTavBaseHash h(10, 0, 1); }), 9986);

  TTavBaseHash h(4, 4, 2);
  // A key longer than the slot would spill into the next entry's key.
  EXPECT_EQ(ErrorCodeOf([&] { h.Add("abcde", 5, 1); }), 9986);
  EXPECT_EQ(ErrorCodeOf([&] { h.Find("abcde", 5); }), 9986);
  EXPECT_EQ(ErrorCodeOf([&] { h.Add(nullptr, 2, 1); }), 9986);
  EXPECT_EQ(ErrorCodeOf([&] { h.Add("ab", -1, 1); }), 9986);
  EXPECT_EQ(h.KeyCount(), 0);
  h.Add("a", 1, 1);
  h.Add("b", 1, 2);
  EXPECT_TRUE(h.CheckHashFull());
  try {
    h.Add("c", 1, 3);
    ADD_FAILURE() << "a full hash took a key";
  } catch (const ETavDatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("BaseHash is full"), std::string::npos);
  }
  EXPECT_EQ(h.KeyCount(), 2);
  EXPECT_TRUE(Has(h, "a"));
  EXPECT_TRUE(Has(h, "b"));
}

TEST(BaseHashTest, DeleteTakesOnlyTheEntryWithThatValue) {
  TTavBaseHash h(8, 4, 8);
  h.Add("key", 3, 1);
  h.Add("key", 3, 2);
  h.Add("key", 3, 3);
  EXPECT_EQ(h.ValueOf("key", 3), 3u);  // newest first
  EXPECT_FALSE(h.Delete("key", 3, 9));
  EXPECT_EQ(h.KeyCount(), 3);
  EXPECT_TRUE(h.Delete("key", 3, 2));
  EXPECT_EQ(Matches(h, "key"), (std::multiset<uint32_t>{1, 3}));
  EXPECT_TRUE(h.Delete("key", 3, 3));
  EXPECT_EQ(h.ValueOf("key", 3), 1u);
  EXPECT_FALSE(h.Delete("ke", 2, 1));
  EXPECT_EQ(h.KeyCount(), 1);
}

TEST(BaseHashTest, ANullKeyListsBucketZero) {
  TTavBaseHash h(4, 4, 4);
  // Keys whose hash is a multiple of 4 land in bucket 0: "\x04", "\x08".
  h.Add("\x04", 1, 40);
  h.Add("\x08", 1, 80);
  h.Add("\x01", 1, 10);
  TSortedList l;
  h.GetPossibleMatchList(nullptr, 0, l);
  EXPECT_EQ(std::multiset<uint32_t>(l.List().begin(), l.List().end()),
            (std::multiset<uint32_t>{40, 80}));
}

// Keys of 1..6 bytes without zero bytes, from a small alphabet so keys repeat.
std::string RandomKey(std::mt19937& rng) {
  std::string k;
  for (int n = 1 + static_cast<int>(rng() % 6); n > 0; --n) k += static_cast<char>('a' + rng() % 3);
  return k;
}

TEST(BaseHashTest, RandomOperationsAgreeWithAModel) {
  std::mt19937 rng(21);
  constexpr int kCapacity = 64;
  TTavBaseHash h(97, 6, kCapacity);
  std::multimap<std::string, uint32_t> model;
  std::vector<std::string> seen;
  for (int op = 0; op < 20000; ++op) {
    const unsigned r = rng() % 100;
    if (r < 45) {
      std::string k = RandomKey(rng);
      uint32_t v = rng() % 8;
      if (static_cast<int>(model.size()) == kCapacity) {
        ASSERT_EQ(ErrorCodeOf([&] { h.Add(k.data(), static_cast<int>(k.size()), v); }), 9482);
      } else {
        h.Add(k.data(), static_cast<int>(k.size()), v);
        model.emplace(k, v);
        seen.push_back(k);
      }
    } else if (r < 90 && !seen.empty()) {
      const std::string k = seen[rng() % seen.size()];
      const uint32_t v = rng() % 8;
      auto range = model.equal_range(k);
      auto it =
          std::find_if(range.first, range.second, [&](const auto& p) { return p.second == v; });
      const bool present = it != range.second;
      ASSERT_EQ(h.Delete(k.data(), static_cast<int>(k.size()), v), present) << k << " " << v;
      if (present) model.erase(it);
    } else if (r < 91) {
      h.Clear();
      model.clear();
    } else {
      // Check a handful of keys, live and gone.
      for (int i = 0; i < 5 && !seen.empty(); ++i) {
        const std::string k = i == 0 ? RandomKey(rng) : seen[rng() % seen.size()];
        std::multiset<uint32_t> expected;
        auto range = model.equal_range(k);
        for (auto it = range.first; it != range.second; ++it) expected.insert(it->second);
        ASSERT_EQ(Matches(h, k), expected) << k;
        ASSERT_EQ(Has(h, k), !expected.empty());
        const uint32_t value = h.ValueOf(k.data(), static_cast<int>(k.size()));
        ASSERT_EQ(value == TTavBaseHash::kNotFound, expected.empty());
        if (!expected.empty()) {
          ASSERT_TRUE(expected.count(value));
        }
      }
    }
    ASSERT_EQ(h.KeyCount(), static_cast<int>(model.size()));
    ASSERT_EQ(h.CheckHashFull(), static_cast<int>(model.size()) == kCapacity);
  }
}

// ---- THashCollection ----

struct TKey {
  unsigned char b[8];
};

TKey KeyOf(uint32_t a, uint32_t b) {
  THashCollectionItem probe;
  probe.SetHashFromInts(a, b);
  TKey k;
  std::memcpy(k.b, probe.GetHashKey().data(), 8);
  return k;
}

THashCollectionItem* AddHashed(THashCollection& c, uint32_t a, uint32_t b) {
  auto* item = static_cast<THashCollectionItem*>(c.Add());
  item->SetHashFromInts(a, b);
  c.AddHashKey(item->GetHashKey().data(), item->ID());
  return item;
}

TEST(HashCollectionTest, KeyFromIntsIsLittleEndian) {
  TKey k = KeyOf(0x04030201u, 0x08070605u);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(k.b[i], i + 1);
}

TEST(HashCollectionTest, AFullHashIsRebuiltAndStillFindsEveryItem) {
  THashCollection c;
  c.SetUseHashSearch(true);
  for (uint32_t i = 0; i < 1000; ++i) AddHashed(c, 0, i);
  EXPECT_TRUE(c.Hash().CheckHashFull());
  EXPECT_EQ(c.Hash().Capacity(), 1000);
  AddHashed(c, 0, 1000);
  EXPECT_EQ(c.Hash().Capacity(), 2002);  // twice the 1001 items
  EXPECT_EQ(c.Hash().KeyCount(), 1001);
  for (uint32_t i = 0; i <= 1000; ++i) {
    TKey k = KeyOf(0, i);
    THashCollectionItem* item = c.FindHashKey(k.b);
    ASSERT_NE(item, nullptr) << i;
    ASSERT_EQ(item->ID(), static_cast<int>(i));
  }
}

TEST(HashCollectionTest, DeletingItemsTakesTheirKeysAlong) {
  THashCollection c;
  c.SetUseHashSearch(true);
  auto* a = AddHashed(c, 1, 1);
  auto* b = AddHashed(c, 1, 2);
  AddHashed(c, 1, 3);
  c.DeleteHashedItem(a->Index());
  EXPECT_EQ(c.FindHashKey(KeyOf(1, 1).b), nullptr);
  delete b;  // freed directly: its key leaves the hash too
  EXPECT_EQ(c.FindHashKey(KeyOf(1, 2).b), nullptr);
  EXPECT_EQ(c.Hash().KeyCount(), 1);
  auto* d = static_cast<THashCollectionItem*>(c.Items(0));
  c.DeleteHashKey(d);
  EXPECT_FALSE(d->IsHashed());
  EXPECT_EQ(c.FindHashKey(KeyOf(1, 3).b), nullptr);
  EXPECT_EQ(c.Count(), 1);
  // A new key for a hashed item replaces its old one.
  c.AddHashKey(KeyOf(5, 5).b, d->ID());
  c.AddHashKey(KeyOf(6, 6).b, d->ID());
  EXPECT_EQ(c.FindHashKey(KeyOf(5, 5).b), nullptr);
  EXPECT_EQ(c.FindHashKey(KeyOf(6, 6).b), d);
  EXPECT_EQ(c.Hash().KeyCount(), 1);
  c.AddHashKey(KeyOf(6, 6).b, d->ID());  // the same pair again: nothing new
  EXPECT_EQ(c.Hash().KeyCount(), 1);
  c.Clear();
  EXPECT_EQ(c.Hash().KeyCount(), 0);
  EXPECT_EQ(c.FindHashKey(KeyOf(6, 6).b), nullptr);
}

TEST(HashCollectionTest, RandomOperationsAgreeWithAModel) {
  std::mt19937 rng(33);
  THashCollection c;
  // The items' keys as the model sees them: ID -> key, for hashed items only.
  std::map<int, std::pair<uint32_t, uint32_t>> model;
  auto checkKey = [&](uint32_t a, uint32_t b) {
    bool expected = false;
    for (const auto& [id, key] : model) expected = expected || key == std::make_pair(a, b);
    const TKey k = KeyOf(a, b);
    for (bool useHash : {true, false}) {
      c.SetUseHashSearch(useHash);
      THashCollectionItem* found = c.FindHashKey(k.b);
      ASSERT_EQ(found != nullptr, expected) << a << "," << b << " hash " << useHash;
      if (found) {
        ASSERT_TRUE(model.count(found->ID()));
        ASSERT_EQ(model[found->ID()], std::make_pair(a, b));
      }
    }
  };
  for (int op = 0; op < 12000; ++op) {
    const unsigned r = rng() % 100;
    const uint32_t a = rng() % 3, b = rng() % 400;  // keys repeat across items
    if (r < 40) {
      auto* item = AddHashed(c, a, b);
      model[item->ID()] = {a, b};
    } else if (r < 50) {
      c.Add();  // an item that never gets a key
    } else if (r < 75 && c.Count() > 0) {
      const int index = static_cast<int>(rng() % c.Count());
      auto* item = static_cast<THashCollectionItem*>(c.Items(index));
      model.erase(item->ID());
      switch (rng() % 3) {
        case 0:
          c.DeleteHashedItem(index);
          break;
        case 1:
          delete item;
          break;
        default:
          c.DeleteHashKey(item);
          break;  // stays in the collection, unhashed
      }
    } else if (r < 85 && c.Count() > 0) {
      // Rehash an item under a new key, as the page cache does on reuse.
      auto* item = static_cast<THashCollectionItem*>(c.Items(static_cast<int>(rng() % c.Count())));
      c.DeleteHashKey(item);
      item->SetHashFromInts(a, b);
      c.AddHashKey(item->GetHashKey().data(), item->ID());
      model[item->ID()] = {a, b};
    } else if (r < 87) {
      c.ResetHash();
    } else {
      checkKey(a, b);
    }
    ASSERT_EQ(c.Hash().KeyCount(), static_cast<int>(model.size()));
  }
  for (const auto& [id, key] : std::map<int, std::pair<uint32_t, uint32_t>>(model))
    checkKey(key.first, key.second);
  for (uint32_t b = 0; b < 400; b += 13) checkKey(1, b);
}

}  // namespace
}  // namespace tav
