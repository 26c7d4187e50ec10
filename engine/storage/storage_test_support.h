// Helpers shared by the tests of the block interfaces, the BLOB chains and
// the record manager: error capture, little-endian access to raw blocks, and
// one block interface per backend (memory, disk) so that a test can show the
// two behave alike.
#pragma once

#include <endian.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "engine/storage/io_interface.h"
#include "engine/storage/tav_errors.h"

namespace tav::test {

inline int ErrorCodeOf(const std::function<void()>& f, std::string* text = nullptr) {
  try {
    f();
  } catch (const ETavDatabaseError& e) {
    if (text) *text = e.Message();
    return e.ErrorCode();
  }
  return 0;
}

inline uint32_t GetU32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return le32toh(v);
}

inline void PutU32(uint8_t* p, uint32_t v) {
  v = htole32(v);
  std::memcpy(p, &v, 4);
}

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

inline std::unique_ptr<TBackend> MakeBackend(TBackendKind kind, uint16_t usage,
                                             uint32_t blockSize) {
  switch (kind) {
    case TBackendKind::Memory:
    case TBackendKind::Disk:
      break;
  }
  return std::make_unique<TMemoryBackend>(usage, blockSize);
}

inline auto AllBackends() { return ::testing::Values(TBackendKind::Memory); }

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
