#include "chip.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "loader/loader.h"

namespace {

// What a byte of flash holds once erased.
constexpr std::uint8_t erasedByte = 0xFF;

// What the bytes at the front of the chip's input start.
enum class RequestKind { stray, identify, packet };

// A request found at the front of the input and its length in bytes; length 0 while the rest of
// it is still to come.
struct RequestAt {
  RequestKind kind = RequestKind::stray;
  std::size_t length = 0;
};

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

// Returns whether the complete Loader packet of total bytes at packet has a length and a checksum
// that check out.
bool checksOut(const std::uint8_t* packet, std::size_t total) {
  return total >= 5 && checkSum(packet + 2, static_cast<int>(total) - 3) == packet[total - 1];
}

// Answers the complete Loader packet of total bytes at packet.
ChipExchange answerPacket(ChipState& chip, const std::uint8_t* packet, std::size_t total) {
  ChipExchange exchange;
  exchange.request.assign(packet, packet + total);
  // Counted even when silent, so that the line's faults find the packets they name.
  const bool silent = isSilent(chip);
  exchange.packet = ++chip.packets;
  if (silent || chip.packets == chip.faults.ignorePacket)
    return exchange;
  if (chip.packets == chip.faults.replyPacket) {
    exchange.reply = chip.faults.replyBytes;
    return exchange;
  }
  const bool obeyed = chip.packets != chip.faults.nakPacket && checksOut(packet, total);
  exchange.reply.push_back(obeyed ? obeyPacket(chip, packet, exchange.work) : NAK);
  return exchange;
}

// Returns the chip's own identification reply, as "ADI 842 KS 2.3 kiln-sim\r\n": the manufacturer,
// the product code, a loader designation of the version the tool supports, and the chip's name.
std::string ownIdentityOf(int device) {
  std::string text = manufacturerCode;
  text.resize(productAt, ' ');
  text += devs[device].name;
  text += " KS";
  text.resize(loaderAt, ' ');
  text += ' ';
  text += supportedLoaderVersion;
  text += ".3 kiln-sim";
  text.resize(identifyReplyLength - 2, ' ');
  return text + "\r\n";
}

ChipExchange answerIdentify(const ChipState& chip, const std::uint8_t* request) {
  ChipExchange exchange;
  exchange.request.assign(request, request + sizeof identifyRequest);
  if (isSilent(chip))
    return exchange;
  const std::string text =
      chip.faults.identity.empty() ? ownIdentityOf(chip.device) : chip.faults.identity;
  exchange.reply.assign(text.begin(), text.end());
  return exchange;
}

// Returns the length of the packet starting at front. A broken frame or a zero length is answered
// at once, and a broken frame gives up only its first byte, so that a request right behind a stray
// 0x07 is still heard; any other length is awaited whole.
std::size_t packetLengthAt(const std::uint8_t* front, std::size_t left) {
  if (left < 2)
    return 0;
  if (front[1] != packetStart[1])
    return 1;
  if (left < packetHeaderLength)
    return 0;
  const std::size_t total =
      front[2] == 0 ? packetHeaderLength : static_cast<std::size_t>(front[2]) + 4;
  return left < total ? 0 : total;
}

// Returns what the left bytes at front start.
RequestAt findRequestAt(const std::uint8_t* front, std::size_t left) {
  if (front[0] == packetStart[0])
    return {RequestKind::packet, packetLengthAt(front, left)};
  if (front[0] != identifyRequest[0])
    return {RequestKind::stray, 1};
  if (left < sizeof identifyRequest)
    return {RequestKind::identify, 0};
  if (std::memcmp(front, identifyRequest, sizeof identifyRequest) != 0)
    return {RequestKind::stray, 1};
  return {RequestKind::identify, sizeof identifyRequest};
}

// Returns whether the request found at front is complete and checks out.
bool isSound(const RequestAt& request, const std::uint8_t* front) {
  if (request.kind == RequestKind::packet)
    return checksOut(front, request.length);
  return request.kind == RequestKind::identify && request.length == sizeof identifyRequest;
}

// Returns whether a request that is complete and checks out starts in the bytes from from to end.
bool holdsSoundRequest(const std::uint8_t* from, const std::uint8_t* end) {
  for (; from != end; ++from) {
    if (isSound(findRequestAt(from, static_cast<std::size_t>(end - from)), from))
      return true;
  }
  return false;
}

// Adds a byte that starts no request to the run of such bytes that exchanges ends with, or starts a
// new run.
void discardByteInto(std::vector<ChipExchange>& exchanges, std::uint8_t byte) {
  if (exchanges.empty() || !exchanges.back().discarded) {
    exchanges.emplace_back();
    exchanges.back().discarded = true;
  }
  exchanges.back().request.push_back(byte);
}

// Answers the request found at front, or discards the byte at front that starts none.
void answerInto(std::vector<ChipExchange>& exchanges, ChipState& chip, const RequestAt& request,
                const std::uint8_t* front) {
  switch (request.kind) {
    case RequestKind::stray:
      discardByteInto(exchanges, front[0]);
      break;
    case RequestKind::identify:
      exchanges.push_back(answerIdentify(chip, front));
      break;
    case RequestKind::packet:
      exchanges.push_back(answerPacket(chip, front, request.length));
      break;
  }
}

// Takes the complete request found at front; returns its length, 0 while the rest is to come.
std::size_t takeRequestInto(std::vector<ChipExchange>& exchanges, ChipState& chip,
                            const RequestAt& request, const std::uint8_t* front) {
  if (request.length == 0)
    return 0;
  chip.hunting = false;
  answerInto(exchanges, chip, request, front);
  return request.length;
}

// Bytes the last host left may lie ahead of the new host's first request, and nothing in the line
// marks where one host's bytes end. They are dropped a byte at a time, so that a request among
// them is still found, and kept only while nothing that checks out follows. Returns the count
// dropped, 0 or 1.
std::size_t dropStaleByteInto(std::vector<ChipExchange>& exchanges, const RequestAt& request,
                              const std::uint8_t* front, const std::uint8_t* end) {
  if (request.length == 0 && !holdsSoundRequest(front + 1, end))
    return 0;
  discardByteInto(exchanges, front[0]);
  return 1;
}

// Takes what the pending bytes from front start: until a request of the session checks out, only
// a byte ahead of one. Returns the count of bytes taken, 0 while the rest is to come.
std::size_t takeFrontInto(ChipState& chip, const std::uint8_t* front,
                          std::vector<ChipExchange>& exchanges) {
  const std::uint8_t* end = chip.pending.data() + chip.pending.size();
  const RequestAt request = findRequestAt(front, static_cast<std::size_t>(end - front));
  if (chip.hunting && !isSound(request, front))
    return dropStaleByteInto(exchanges, request, front, end);
  return takeRequestInto(exchanges, chip, request, front);
}

// Appends the Intel HEX data record of the 16 bytes at block, at address. Every memory in devs
// is addressed in 16 bits, so no record that moves the base is needed.
void appendDataRecordInto(std::string& text, std::size_t address, const std::uint8_t* block) {
  // Byte count, address, record type 0, the data, and the checksum that makes them add up to 0.
  std::uint8_t record[4 + blockLength + 1] = {blockLength, static_cast<std::uint8_t>(address >> 8),
                                              static_cast<std::uint8_t>(address), 0};
  std::copy(block, block + blockLength, record + 4);
  record[sizeof record - 1] = static_cast<std::uint8_t>(checkSum(record, sizeof record - 1));
  static constexpr char digits[] = "0123456789ABCDEF";
  text += ':';
  for (const std::uint8_t byte : record) {
    text += digits[byte >> 4];
    text += digits[byte & 0xF];
  }
  text += '\n';
}

}  // namespace

ChipState makeChip(int device, const ChipFaults& faults) {
  ChipState chip;
  chip.device = device;
  chip.program.assign(static_cast<std::size_t>(pmsize(device)), erasedByte);
  chip.data.assign(static_cast<std::size_t>(dmsize(device)), erasedByte);
  chip.faults = faults;
  return chip;
}

void resetSession(ChipState& chip) {
  chip.pending.clear();
  chip.packets = 0;
  chip.hunting = true;
}

void feedChipFrom(ChipState& chip, const std::uint8_t* bytes, std::size_t count,
                  std::vector<ChipExchange>& exchanges) {
  chip.pending.insert(chip.pending.end(), bytes, bytes + count);
  std::size_t taken = 0;
  for (std::size_t step = 1; step > 0 && taken < chip.pending.size(); taken += step)
    step = takeFrontInto(chip, chip.pending.data() + taken, exchanges);
  chip.pending.erase(chip.pending.begin(), chip.pending.begin() + static_cast<long>(taken));
}

std::string hexDumpOf(const std::vector<std::uint8_t>& memory) {
  std::string text;
  for (std::size_t address = 0; address + blockLength <= memory.size(); address += blockLength) {
    const std::uint8_t* block = memory.data() + address;
    if (std::any_of(block, block + blockLength, [](std::uint8_t b) { return b != erasedByte; }))
      appendDataRecordInto(text, address, block);
  }
  return text + ":00000001FF\n";
}
