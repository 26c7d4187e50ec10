// CRC-32 as in ISO 3309 / IEEE 802.3 (reflected polynomial 0xEDB88320, initial
// value 0xFFFFFFFF, final complement). The security header stores it, so the
// variant may never change.
#pragma once

#include <cstdint>

namespace tav {

uint32_t CalcCRC(const void* buffer, int32_t length);
// Continues `crc` (a CalcCRC result, 0 for none yet) over `length` more
// bytes: UpdateCRC(CalcCRC(a), b) is the CRC of a followed by b.
uint32_t UpdateCRC(uint32_t crc, const void* buffer, int32_t length);
// The same by the tables alone, whatever the processor offers (tests hold
// the two against each other).
uint32_t CalcCRCByTable(const void* buffer, int32_t length);

}  // namespace tav
