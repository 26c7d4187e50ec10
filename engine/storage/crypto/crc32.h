// CRC-32 as in ISO 3309 / IEEE 802.3 (reflected polynomial 0xEDB88320, initial
// value 0xFFFFFFFF, final complement). The security header stores it, so the
// variant may never change.
#pragma once

#include <cstdint>

namespace tav {

uint32_t CalcCRC(const void* buffer, int32_t length);
// The same by the tables alone, whatever the processor offers (tests hold
// the two against each other).
uint32_t CalcCRCByTable(const void* buffer, int32_t length);

}  // namespace tav
