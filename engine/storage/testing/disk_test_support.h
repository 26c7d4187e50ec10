// Helpers for the disk manager and map page tests: a scratch database, and a
// reader of the file's header and map pages that parses the bytes on its own
// (not through the code under test) and checks that every page of the file is
// accounted for: owned, or in exactly one free chain.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/storage/base/tav_errors.h"
#include "engine/storage/file/disk_mgr.h"
#include "engine/storage/lock/lock_mgr.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "os/testing/test_support.h"

namespace tav::test {

inline uint32_t Get32(const std::string& s, size_t at) {
  uint32_t v = 0;
  if (at + 4 <= s.size()) std::memcpy(&v, s.data() + at, 4);
  return v;
}

inline uint16_t Get16(const std::string& s, size_t at) {
  uint16_t v = 0;
  if (at + 2 <= s.size()) std::memcpy(&v, s.data() + at, 2);
  return v;
}

inline void Put32(std::string& s, size_t at, uint32_t v) {
  std::memcpy(s.data() + at, &v, 4);
}

inline void Put16(std::string& s, size_t at, uint16_t v) {
  std::memcpy(s.data() + at, &v, 2);
}

// A page of `size` bytes that tells its owner and number apart.
inline std::string PagePattern(uint32_t size, uint32_t seed) {
  std::string s(size, '\0');
  for (uint32_t i = 0; i < size; ++i)
    s[i] = static_cast<char>((i * 7 + seed * 131 + i / 251) & 0xFF);
  return s;
}

// The file's map as its bytes say.
struct TMapImage {
  uint32_t pageSize = 0;
  uint32_t entries = 0;
  uint32_t firstMapPageEmpty = 0;
  uint32_t firstMapPage = 0;
  uint32_t mapPageCount = 0;
  uint64_t filePages = 0;
  std::vector<uint32_t> mapAddrs;
  std::vector<uint16_t> entry;                // by page number, over every map page
  std::vector<std::vector<uint32_t>> chains;  // page numbers in chain order, per map page
  std::string error;                          // empty when consistent

  uint16_t Entry(uint64_t page) const { return page < entry.size() ? entry[page] : 0; }
  bool InAnyChain(uint32_t page) const {
    for (const auto& c : chains)
      for (uint32_t p : c)
        if (p == page) return true;
    return false;
  }
  std::vector<uint32_t> FreePages() const {
    std::vector<uint32_t> all;
    for (const auto& c : chains) all.insert(all.end(), c.begin(), c.end());
    return all;
  }
};

// The map of a database file's bytes.
inline TMapImage MapImageOf(const std::string& raw, uint32_t pageSize) {
  TMapImage img;
  img.pageSize = pageSize;
  img.entries = (pageSize - 20) / 2;
  img.firstMapPageEmpty = Get32(raw, 1024 + 16);
  img.firstMapPage = Get32(raw, 1024 + 20);
  img.mapPageCount = Get32(raw, 1024 + 24);
  img.filePages = raw.size() / pageSize;
  uint32_t at = img.firstMapPage;
  for (uint32_t m = 0; m < img.mapPageCount; ++m) {
    if (at == 0 || at % pageSize != 0 || at + pageSize > raw.size()) {
      img.error = "bad map page link to " + std::to_string(at);
      return img;
    }
    img.mapAddrs.push_back(at);
    if (Get32(raw, at) != m) img.error = "map page " + std::to_string(m) + " has a wrong number";
    img.entry.resize(size_t{m + 1} * img.entries);
    for (uint32_t e = 0; e < img.entries; ++e)
      img.entry[size_t{m} * img.entries + e] = Get16(raw, at + 20 + 2 * e);
    std::vector<uint32_t> chain;
    uint32_t off = Get16(raw, at + 8);
    uint32_t last = 0;
    while (off != 0) {
      if (off < 20 || off > pageSize - 2 || off % 2 != 0 || chain.size() >= img.entries) {
        img.error = "bad chain in map page " + std::to_string(m);
        break;
      }
      if (off <= last) img.error = "chain not ascending in map page " + std::to_string(m);
      last = off;
      const uint16_t v = Get16(raw, at + off);
      if ((v & 0x8000) == 0) {
        img.error = "chain reaches a used entry in map page " + std::to_string(m);
        break;
      }
      chain.push_back(m * img.entries + (off - 20) / 2);
      off = v & 0x7FFF;
    }
    img.chains.push_back(chain);
    const uint32_t next = Get32(raw, at + 4);
    if (m + 1 == img.mapPageCount && next != 0) img.error = "last map page has a next link";
    at = next;
  }
  if (!img.error.empty()) return img;
  // Every page of the file is owned or free in exactly one chain.
  std::map<uint32_t, int> inChains;
  for (const auto& c : img.chains)
    for (uint32_t p : c) ++inChains[p];
  for (const auto& [page, n] : inChains) {
    if (n != 1) img.error = "page " + std::to_string(page) + " is in a chain twice";
    if (page >= img.filePages) img.error = "free page " + std::to_string(page) + " past the end";
  }
  for (uint64_t p = 0; p < img.filePages && img.error.empty(); ++p) {
    const uint16_t v = img.Entry(p);
    const bool owned = v != 0 && (v & 0x8000) == 0;
    const bool chained = inChains.count(static_cast<uint32_t>(p)) != 0;
    if (owned == chained)
      img.error = "page " + std::to_string(p) + " is lost (entry " + std::to_string(v) + ")";
  }
  if (img.error.empty() && !inChains.empty() && img.firstMapPageEmpty == 0)
    img.error = "free pages but no first empty map page";
  return img;
}

inline TMapImage ReadMapImage(const std::string& path, uint32_t pageSize) {
  return MapImageOf(os::test::ReadWholeFile(path), pageSize);
}

// Whether a commit journal's bytes hold nothing: empty, or the mark zeroed.
inline bool JournalHoldsNothing(const std::string& bytes) {
  for (size_t i = 0; i < bytes.size() && i < 8; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

// What a disk manager holds: locks of its three lock managers, header lock
// flags, a transaction; empty when it holds nothing.
inline std::string HeldByDiskMgr(const TDiskMgr& m) {
  std::string held;
  if (m.HeaderReadLocked() || m.HeaderWriteLocked()) held += "header lock flags; ";
  if (m.IsTransactionActive()) held += "a transaction; ";
  if (m.TableLockMgr() && m.TableLockMgr()->GetLockCount() != 0) held += "table locks; ";
  if (m.RecordLockMgr() && m.RecordLockMgr()->GetLockCount() != 0) held += "record locks; ";
  if (m.TransLockMgr() && m.TransLockMgr()->GetLockCount() != 0) held += "transaction locks; ";
  return held;
}

// A database in a scratch folder, created with 4096-byte pages.
class TScratchDb {
 public:
  TScratchDb() : path_(dir_ / "Sales.tav") {}
  bool Ok() const { return dir_.Ok(); }
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return dir_ / name; }

  void Create(uint32_t pageSize = 4096) const {
    TDiskMgr m;
    m.SetFileName(path_);
    m.SetPageSize(pageSize);
    m.CreateNewFile(true);
  }
  // A manager opened read-write and shared, with short lock retries.
  void Configure(TDiskMgr& m, uint16_t flags = fmOpenReadWrite | fmShareDenyNone) const {
    m.SetFileName(path_);
    m.SetPageSize(4096);
    m.SetOpenFlags(flags);
    m.SetLockRetryCount(3);
    m.SetLockRetryInterval(1);
  }
  TMapImage Map(uint32_t pageSize = 4096) const { return ReadMapImage(path_, pageSize); }
  std::string Bytes() const { return os::test::ReadWholeFile(path_); }

 private:
  os::test::TTempDir dir_;
  std::string path_;
};

}  // namespace tav::test
