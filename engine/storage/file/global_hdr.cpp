#include "engine/storage/file/global_hdr.h"

#include <cstring>

#include "engine/storage/base/tav_errors.h"
#include "host/rtl/format.h"
#include "host/rtl/string_list.h"

namespace tav {

void TGlobalHdr::Initialize() {
  if (hdr_size_ == 0)
    TavDatabaseError(kUnexpectedInternalError, "TGlobalHdr.Initialize",
                     "Unable to initialize header - size not set");
  buffer_.assign(hdr_size_, 0);
  dirty_ = false;
  header_valid_ = false;
}

uint32_t TGlobalHdr::GlobalInterfaceGetHdrItem(uint32_t offset) const {
  // Offset 0 was never a value of its own; the upper bound keeps the whole
  // 32-bit value inside the buffer.
  if (offset < 1 || uint64_t{offset} + 4 > buffer_.size())
    TavDatabaseError(kUnexpectedInternalError, "TGlobalHdr.GlobalInterfaceGetHdrItem",
                     "DB Header. Item offset is out of range");
  uint32_t value;
  std::memcpy(&value, buffer_.data() + offset, 4);
  return value;
}

void TGlobalHdr::GlobalInterfaceSetHdrItem(uint32_t value, uint32_t offset) {
  if (offset < 1 || uint64_t{offset} + 4 > buffer_.size())
    TavDatabaseError(kUnexpectedInternalError, "TGlobalHdr.GlobalInterfaceSetHdrItem",
                     "DB Header. Item offset is out of range");
  uint32_t old;
  std::memcpy(&old, buffer_.data() + offset, 4);
  if (old == value) return;
  std::memcpy(buffer_.data() + offset, &value, 4);
  dirty_ = true;
}

void TGlobalHdr::DebugDumpContents(host::TStrings& list) const {
  list.Add("GLOBAL HEADER Settings");
  list.Add(host::Format("FirstMap %d  FirstEmpty %d MapCount %d",
                        {FirstMapPage(), FirstMapPageEmpty(), MapPageCount()}));
  list.Add(
      host::Format("TblHdrFE %d  SysHdrFE %d IdxFE %d",
                   {TableHeadersFirstEmpty(), SystemHeadersFirstEmpty(), IndexesFirstEmpty()}));
}

}  // namespace tav
