#include "chip.h"

#include <algorithm>
#include <cstring>

#include "loader/loader.h"

namespace {

bool isSilent(const ChipState& chip) {
  return chip.faults.silentAfter >= 0 && chip.packets >= chip.faults.silentAfter;
}

// Programs one 16-byte block as flash does: bits only go from 1 to 0, so a block that needs a 0
// turned back into a 1 is refused whole.
bool programBlock(std::vector<std::uint8_t>& memory, long address, const std::uint8_t* block) {
  if (address % blockLength != 0 || address + blockLength > static_cast<long>(memory.size())) {
    return false;
  }
  std::uint8_t* target = memory.data() + address;
  for (int i = 0; i < blockLength; ++i) {
    if ((target[i] & block[i]) != block[i])
      return false;
  }
  std::copy(block, block + blockLength, target);
  return true;
}

// Carries out one framed Loader packet whose frame, length and checksum are sound.
std::uint8_t obeyPacket(ChipState& chip, const std::uint8_t* packet, ChipWork& work) {
  const std::uint8_t length = packet[2];
  const std::uint8_t command = packet[3];
  if (length == 1 && (command == commandEraseProgram || command == commandEraseAll)) {
    if (chip.faults.refuseErase)
      return NAK;
    work = ChipWork::erase;
    std::fill(chip.program.begin(), chip.program.end(), erasedByte);
    if (command == commandEraseAll)
      std::fill(chip.data.begin(), chip.data.end(), erasedByte);
    return ACK;
  }
  if (length == writePayloadLength &&
      (command == commandWriteProgram || command == commandWriteData)) {
    const long address = long{packet[writeAddressOffset]} << 16 |
                         long{packet[writeAddressOffset + 1]} << 8 | packet[writeAddressOffset + 2];
    work = ChipWork::program;
    auto& memory = command == commandWriteProgram ? chip.program : chip.data;
    return programBlock(memory, address, packet + writeDataOffset) ? ACK : NAK;
  }
  return NAK;
}

// Answers the complete Loader packet of total bytes at packet.
ChipExchange answerPacket(ChipState& chip, const std::uint8_t* packet, std::size_t total) {
  ChipExchange exchange;
  exchange.request.assign(packet, packet + total);
  if (isSilent(chip))
    return exchange;
  ++chip.packets;
  if (chip.packets == chip.faults.ignorePacket)
    return exchange;
  std::uint8_t answer = NAK;
  if (chip.packets == chip.faults.replyPacket) {
    answer = chip.faults.replyByte;
  } else if (chip.packets != chip.faults.nakPacket && total >= 5 && packet[1] == packetStart[1] &&
             checkSum(packet + 2, static_cast<int>(total) - 3) == packet[total - 1]) {
    answer = obeyPacket(chip, packet, exchange.work);
  }
  exchange.reply.push_back(answer);
  return exchange;
}

}  // namespace

std::vector<std::uint8_t> identityOf(int part) {
  // Manufacturer, product code and a loader designation whose second character is '2'.
  char text[identifyReplyLength + 1] = {};
  snprintf(text, sizeof text, "ADI %s KS 2.3 kiln-sim\r\n", devs[part].name);
  return std::vector<std::uint8_t>(text, text + identifyReplyLength);
}

ChipState makeChip(int part, const ChipFaults& faults) {
  ChipState chip;
  chip.part = part;
  chip.program.assign(static_cast<std::size_t>(pmsize(part)), erasedByte);
  chip.data.assign(static_cast<std::size_t>(dmsize(part)), erasedByte);
  chip.faults = faults;
  return chip;
}

void resetSession(ChipState& chip) {
  chip.pending.clear();
  chip.packets = 0;
}

void feedChipFrom(ChipState& chip, const std::uint8_t* bytes, std::size_t count,
                  std::vector<ChipExchange>& exchanges) {
  chip.pending.insert(chip.pending.end(), bytes, bytes + count);
  std::size_t taken = 0;
  ChipExchange discarded;
  discarded.discarded = true;
  auto flushDiscarded = [&] {
    if (!discarded.request.empty())
      exchanges.push_back(std::move(discarded));
    discarded = ChipExchange{};
    discarded.discarded = true;
  };
  for (;;) {
    const std::uint8_t* front = chip.pending.data() + taken;
    const std::size_t left = chip.pending.size() - taken;
    if (left == 0)
      break;
    std::size_t used = 0;
    if (front[0] == identifyRequest[0]) {
      if (left < sizeof identifyRequest)
        break;
      if (std::memcmp(front, identifyRequest, sizeof identifyRequest) == 0) {
        flushDiscarded();
        ChipExchange exchange;
        exchange.request.assign(front, front + sizeof identifyRequest);
        if (!isSilent(chip))
          exchange.reply = identityOf(chip.part);
        exchanges.push_back(std::move(exchange));
        used = sizeof identifyRequest;
      }
    } else if (front[0] == packetStart[0]) {
      // A broken frame or a zero length is answered at once, and a broken frame gives up only its
      // first byte, so that a request right behind a stray 0x07 is still heard; any other length
      // is awaited whole.
      std::size_t total = 1;
      if (left < 2)
        break;
      if (front[1] == packetStart[1]) {
        if (left < packetHeaderLength)
          break;
        total = front[2] == 0 ? packetHeaderLength : static_cast<std::size_t>(front[2]) + 4;
        if (left < total)
          break;
      }
      flushDiscarded();
      exchanges.push_back(answerPacket(chip, front, total));
      used = total;
    }
    if (used == 0) {
      discarded.request.push_back(front[0]);
      used = 1;
    }
    taken += used;
  }
  flushDiscarded();
  chip.pending.erase(chip.pending.begin(), chip.pending.begin() + static_cast<long>(taken));
}

bool writeDumpInto(FILE* file, const std::vector<std::uint8_t>& memory) {
  for (std::size_t address = 0; address + blockLength <= memory.size(); address += blockLength) {
    const std::uint8_t* block = memory.data() + address;
    if (std::all_of(block, block + blockLength, [](std::uint8_t b) { return b == erasedByte; })) {
      continue;
    }
    std::uint8_t record[4 + blockLength] = {blockLength, static_cast<std::uint8_t>(address >> 8),
                                            static_cast<std::uint8_t>(address), 0};
    std::memcpy(record + 4, block, blockLength);
    fputc(':', file);
    for (std::uint8_t b : record)
      fprintf(file, "%02X", b);
    fprintf(file, "%02X\n", checkSum(record, sizeof record));
  }
  fputs(":00000001FF\n", file);
  return ferror(file) == 0;
}
