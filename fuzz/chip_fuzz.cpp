// Feeds the stand-in chip arbitrary requests in arbitrary pieces, under arbitrary faults. Input:
// device and erase refusal, the packet to refuse, silence, the packet to answer with the first
// byte; then pieces, each a length byte (0 starts a new host session) and that many bytes.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "chip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4)
    return 0;
  ChipState chip = makeChip(1 + (data[0] & 1), {.nakPacket = data[1],
                                                .silentAfter = data[2] >= 0x80 ? -1 : data[2],
                                                .replyPacket = data[3],
                                                .replyBytes = {data[0]},
                                                .refuseErase = (data[0] & 2) != 0});
  std::vector<ChipExchange> exchanges;
  for (std::size_t at = 4, length = 0; at < size; at += 1 + length) {
    length = std::min<std::size_t>(data[at], size - at - 1);
    if (length == 0)
      resetSession(chip);
    // A copy of exactly the piece, so that a read past its end is seen.
    const std::vector<std::uint8_t> piece(data + at + 1, data + at + 1 + length);
    exchanges.clear();
    feedChipFrom(chip, piece.data(), piece.size(), exchanges);
  }
  return 0;
}
