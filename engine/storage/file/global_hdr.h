// TGlobalHdr: the in-memory copy of the database file's 128-byte global
// header at byte 1024. It holds the heads of the file's chains (map pages and
// the free chains of the shared block interfaces) and the database-wide
// generator. The disk manager reads it into Buffer() and writes it back from
// there; this class only keeps the bytes and knows where each value lies.
// docs/file-format.md ("Global header") gives the layout.
//
// Callers must keep:
//  - Initialize before the first access; every access is bounded by the
//    buffer, so an uninitialised header raises 8581 rather than reading
//    nothing.
//  - The values are only meaningful while the disk manager holds a header
//    lock: another connection may change the file's copy at any other time.
//  - Dirty() tells whether the buffer differs from what was last read or
//    written; setters raise it only when a value really changes.
#pragma once

#include <cstdint>
#include <vector>

#include "host/rtl/object.h"

namespace host {
class TStrings;
}

namespace tav {

inline constexpr uint32_t kGlobalHdrSize = 128;
inline constexpr uint32_t kGlobalHdrBaseAddress = 1024;

// Byte offsets of the named 32-bit values.
inline constexpr uint32_t kHdrFirstMapPageEmpty = 16;
inline constexpr uint32_t kHdrFirstMapPage = 20;
inline constexpr uint32_t kHdrMapPageCount = 24;
inline constexpr uint32_t kHdrTableHeadersFirstEmpty = 28;
inline constexpr uint32_t kHdrSystemHeadersFirstEmpty = 32;
inline constexpr uint32_t kHdrIndexesFirstEmpty = 36;
inline constexpr uint32_t kHdrGlobalDBGenerator = 40;

class TGlobalHdr : public host::TObject {
 public:
  TGlobalHdr() = default;
  TGlobalHdr(const TGlobalHdr&) = delete;
  TGlobalHdr& operator=(const TGlobalHdr&) = delete;

  // A zeroed buffer of HdrSize bytes; 8581 "Unable to initialize header -
  // size not set" when the size is 0. Clears the dirty and valid flags.
  void Initialize();

  // The 32-bit value at any byte offset from 1 up to the last whole value in
  // the buffer; 8581 "DB Header. Item offset is out of range" otherwise.
  uint32_t GlobalInterfaceGetHdrItem(uint32_t offset) const;
  // Stores the value there; dirty only when it changes.
  void GlobalInterfaceSetHdrItem(uint32_t value, uint32_t offset);

  uint32_t FirstMapPageEmpty() const { return GlobalInterfaceGetHdrItem(kHdrFirstMapPageEmpty); }
  uint32_t FirstMapPage() const { return GlobalInterfaceGetHdrItem(kHdrFirstMapPage); }
  uint32_t MapPageCount() const { return GlobalInterfaceGetHdrItem(kHdrMapPageCount); }
  uint32_t TableHeadersFirstEmpty() const {
    return GlobalInterfaceGetHdrItem(kHdrTableHeadersFirstEmpty);
  }
  uint32_t SystemHeadersFirstEmpty() const {
    return GlobalInterfaceGetHdrItem(kHdrSystemHeadersFirstEmpty);
  }
  uint32_t IndexesFirstEmpty() const { return GlobalInterfaceGetHdrItem(kHdrIndexesFirstEmpty); }
  uint32_t GlobalDBGenerator() const { return GlobalInterfaceGetHdrItem(kHdrGlobalDBGenerator); }

  void SetFirstMapPageEmpty(uint32_t v) { GlobalInterfaceSetHdrItem(v, kHdrFirstMapPageEmpty); }
  void SetFirstMapPage(uint32_t v) { GlobalInterfaceSetHdrItem(v, kHdrFirstMapPage); }
  void SetMapPageCount(uint32_t v) { GlobalInterfaceSetHdrItem(v, kHdrMapPageCount); }
  void SetTableHeadersFirstEmpty(uint32_t v) {
    GlobalInterfaceSetHdrItem(v, kHdrTableHeadersFirstEmpty);
  }
  void SetSystemHeadersFirstEmpty(uint32_t v) {
    GlobalInterfaceSetHdrItem(v, kHdrSystemHeadersFirstEmpty);
  }
  void SetIndexesFirstEmpty(uint32_t v) { GlobalInterfaceSetHdrItem(v, kHdrIndexesFirstEmpty); }
  void SetGlobalDBGenerator(uint32_t v) { GlobalInterfaceSetHdrItem(v, kHdrGlobalDBGenerator); }

  void SetDirty(bool value) { dirty_ = value; }
  void SetHeaderValid(bool value) { header_valid_ = value; }
  void SetBaseAddress(uint32_t value) { base_address_ = value; }
  // Takes effect at the next Initialize.
  void SetHdrSize(uint32_t value) { hdr_size_ = value; }

  bool Dirty() const { return dirty_; }
  bool HeaderValid() const { return header_valid_; }
  uint32_t BaseAddress() const { return base_address_; }
  uint32_t HdrSize() const { return hdr_size_; }
  // The buffer's bytes (HdrSize of them after Initialize).
  uint8_t* Buffer() { return buffer_.data(); }
  const uint8_t* Buffer() const { return buffer_.data(); }
  uint32_t BufferSize() const { return static_cast<uint32_t>(buffer_.size()); }

  // "GLOBAL HEADER Settings" and two lines of values.
  void DebugDumpContents(host::TStrings& list) const;

 private:
  bool dirty_ = false;
  uint32_t hdr_size_ = kGlobalHdrSize;
  std::vector<uint8_t> buffer_;
  uint32_t base_address_ = kGlobalHdrBaseAddress;
  bool header_valid_ = false;
};

}  // namespace tav
