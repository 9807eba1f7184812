// What UPX's packed programs of every format share: the methods that pack a block (NRV2B, NRV2D,
// NRV2E, LZMA) and the filters that rewrite a block's calls and jumps before it is packed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace RefEngine {

namespace UpxMethod {
const uint8_t Nrv2b = 2, Nrv2d = 5, Nrv2e = 8, Lzma = 14;
}

// Whether the method is one UnpackUpxBlock knows.
bool UpxMethodKnown(uint8_t method);
// The packed bytes of one block, unpacked into out (unpacked bytes at most); false when they are damaged
// or unpack to another length.
bool UnpackUpxBlock(uint8_t method, const std::vector<uint8_t>& in, size_t unpacked, std::vector<uint8_t>& out);
// Undoes a filter over a block as UPX's unpacking code does: each call or jump whose operand begins
// with the filter's mark holds its target as a 24-bit number, highest byte first, from the block's
// start. Filter 0x26: calls and jumps (E8, E9), bound calls of them; 0x24: calls, through bound bytes
// (operands not counted); 0x46: calls and jumps, through bound bytes; 0x49: those and conditional
// jumps (0F 80 to 0F 8F), through bound bytes. Other filters leave the block as it is.
void UndoUpxFilter(uint8_t filter, uint8_t mark, uint32_t bound, std::vector<uint8_t>& block);
// The operand at this place of a block, a target as the filters keep it, made a relative one again.
void RestoreUpxOperand(std::vector<uint8_t>& block, size_t operand);

}  // namespace RefEngine
