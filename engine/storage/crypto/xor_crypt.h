// The engine's keyed XOR scrambling, used for pages of tables with the weak
// encryption level. The same call scrambles and unscrambles; the step (the
// page's owning table id) chooses how far the key index moves per byte, so a
// page only reads back under the owner it was written with.
//
// C_TAVXORKEY is the key every database file is opened with. Scrambled pages
// on disk depend on its bytes and on its length: it may never change, or
// existing databases become unreadable.
#pragma once

#include <cstdint>

namespace tav {

inline constexpr int C_TAVXORKEYLEN = 71;
extern const uint8_t C_TAVXORKEY[C_TAVXORKEYLEN];

// destination[i] = source[i] XOR key[j], where j starts at 0 and moves on by
// (step AND 0x64) + 1 per byte, wrapping round the key. source and destination
// may be the same buffer; key must hold keyLen (at least 1) bytes.
void XORCryptBuf(const void* source, void* destination, const uint8_t* key, int32_t step,
                 int32_t keyLen, int32_t count);

}  // namespace tav
