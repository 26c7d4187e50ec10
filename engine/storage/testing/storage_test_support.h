// Helpers shared by the tests of the block interfaces, the BLOB chains and
// the record manager: error capture, little-endian access to raw blocks, and
// one block interface per backend (memory, disk) so that a test can show the
// two behave alike.
#pragma once

#include <endian.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "engine/storage/testing/engine_error_test_support.h"
#include "host/rtl/le_bytes.h"
#include "engine/storage/file/disk_mgr.h"
#include "engine/storage/record/io_interface.h"
#include "engine/storage/base/tav_errors.h"
#include "host/rtl/list.h"
#include "os/testing/test_support.h"

namespace tav::test {


using host::GetU32;
using host::PutU32;

enum class TBackendKind { Memory, Disk };

// One open block interface and what the test needs to know of its blocks.
class TBackend {
 public:
  virtual ~TBackend() = default;
  virtual TBaseIOInterface& IO() = 0;
  // Blocks in use: allocated and not on a free chain.
  virtual uint32_t LiveBlocks() = 0;
};

class TMemoryBackend : public TBackend {
 public:
  TMemoryBackend(uint16_t usage, uint32_t blockSize) {
    io_.SetUsage(usage);
    io_.SetBlockSize(blockSize);
    io_.Open();
  }
  TBaseIOInterface& IO() override { return io_; }
  uint32_t LiveBlocks() override { return static_cast<uint32_t>(io_.BlockCount()); }

 private:
  TMemoryIOInterface io_;
};

// A new database file in a folder of its own, opened.
class TTestDatabase {
 public:
  static constexpr uint32_t kPageSize = 4096;

  TTestDatabase() : path_(dir_ / "test.tav") {
    mgr_.SetFileName(path_);
    mgr_.SetPageSize(kPageSize);
    mgr_.CreateNewFile(true);
    mgr_.Open();
  }
  TDiskMgr& Mgr() { return mgr_; }
  const std::string& Path() const { return path_; }
  void Reopen() {
    mgr_.Close();
    mgr_.Open();
  }

 private:
  os::test::TTempDir dir_;
  std::string path_;
  TDiskMgr mgr_;
};

// Table 5's blocks of one usage, with the free-chain head kept here as a
// table header would keep it.
inline void SetUpTableInterface(TDiskIOInterface& io, TDiskMgr& mgr, uint16_t usage,
                                uint32_t blockSize, uint32_t firstEmpty = 0) {
  io.SetDiskMgr(&mgr);
  io.SetTableID(5);
  io.SetUsage(usage);
  io.SetBlockSize(blockSize);
  io.SetAccessFlags(kAccessCached);
  io.SetFirstEmpty(firstEmpty);
  io.SetFirstEmptyValid(true);
  io.Open();
}

// The blocks on the free chain from `head`, run by run.
inline uint32_t FreeBlocks(TBaseIOInterface& io, uint32_t head) {
  uint32_t n = 0;
  uint8_t b[16];
  for (int guard = 0; head != 0 && guard < 1000000; ++guard) {
    io.ReadBlockHeader(head, 16, b);
    n += GetU32(b + 12);
    head = GetU32(b + 8);
  }
  return n;
}

class TDiskBackend : public TBackend {
 public:
  TDiskBackend(uint16_t usage, uint32_t blockSize) {
    SetUpTableInterface(io_, db_.Mgr(), usage, blockSize);
  }
  TBaseIOInterface& IO() override { return io_; }
  uint32_t LiveBlocks() override {
    host::TList list;
    io_.ListBlocks(list);
    return static_cast<uint32_t>(list.Count()) - FreeBlocks(io_, io_.FirstEmpty());
  }

 private:
  TTestDatabase db_;
  TDiskIOInterface io_;
};

inline std::unique_ptr<TBackend> MakeBackend(TBackendKind kind, uint16_t usage,
                                             uint32_t blockSize) {
  if (kind == TBackendKind::Disk) return std::make_unique<TDiskBackend>(usage, blockSize);
  return std::make_unique<TMemoryBackend>(usage, blockSize);
}

inline auto AllBackends() {
  return ::testing::Values(TBackendKind::Memory, TBackendKind::Disk);
}

inline std::string BackendName(const ::testing::TestParamInfo<TBackendKind>& info) {
  switch (info.param) {
    case TBackendKind::Memory:
      return "Memory";
    case TBackendKind::Disk:
      return "Disk";
  }
  return "Unknown";
}

}  // namespace tav::test
