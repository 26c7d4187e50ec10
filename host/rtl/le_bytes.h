// Little-endian, unaligned integers in byte buffers. Every integer the system
// stores in a file (database pages, lock file, archives) is read and written
// through these, never by casting a pointer into a buffer.
#pragma once

#include <endian.h>

#include <cstdint>
#include <cstring>

namespace host {

inline uint16_t GetU16(const void* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return le16toh(v);
}

inline uint32_t GetU32(const void* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return le32toh(v);
}

inline uint64_t GetU64(const void* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return le64toh(v);
}

inline void PutU16(void* p, uint16_t v) {
  v = htole16(v);
  std::memcpy(p, &v, 2);
}

inline void PutU32(void* p, uint32_t v) {
  v = htole32(v);
  std::memcpy(p, &v, 4);
}

inline void PutU64(void* p, uint64_t v) {
  v = htole64(v);
  std::memcpy(p, &v, 8);
}

}  // namespace host
