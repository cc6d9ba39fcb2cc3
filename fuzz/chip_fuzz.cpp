// Feeds the stand-in chip arbitrary byte streams in arbitrary chunks, with arbitrary faults, and
// checks what must hold whatever a host sends it.
//
// Input layout:
//   byte 0       part: row 1 when even, row 2 when odd
//   byte 1       nakPacket
//   byte 2       silentAfter, or never when 0x80 and above
//   byte 3, 4    replyPacket, replyByte
//   byte 5       bit 0: refuseErase
//   byte 6       k, the number of chunk lengths (low 4 bits; 0 feeds the stream in one call)
//   k bytes      chunk lengths, used in turn: 0 feeds nothing, 0xFF starts a new host session
//   the rest     the bytes the host sends
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "chip.h"
#include "fuzz_quiet.h"
#include "loader/loader.h"

namespace {

constexpr std::size_t headerLength = 7;
constexpr std::uint8_t newSession = 0xFF;
// The longest request is a Loader packet of length 255: start bytes, N, N bytes and the checksum.
constexpr std::size_t longestRequest = 255 + 4;

void check(bool holds) {
  if (!holds)
    __builtin_trap();
}

// What the test knows of the chip beyond its own state.
struct Expectations {
  std::vector<std::uint8_t> identity;  // the chip's answer to an identification request
  std::vector<std::uint8_t> program;   // memory as last checked
  std::vector<std::uint8_t> data;
  std::size_t fedInSession = 0;
  std::size_t takenInSession = 0;
};

// Flash only turns 1 bits into 0 when it is programmed: a bit that is 0 in before must be 0 now.
bool onlyClearsBits(const std::vector<std::uint8_t>& before, const std::vector<std::uint8_t>& now) {
  for (std::size_t i = 0; i < now.size(); ++i) {
    if ((now[i] & ~before[i]) != 0)
      return false;
  }
  return true;
}

void checkExchange(const ChipState& chip, const ChipExchange& exchange,
                   const Expectations& expected) {
  check(!exchange.request.empty());
  if (exchange.discarded) {
    check(exchange.reply.empty() && exchange.work == ChipWork::none);
    return;
  }
  if (exchange.reply.empty()) {
    check(chip.faults.silentAfter >= 0 && exchange.work == ChipWork::none);
    return;
  }
  if (exchange.request.front() == identifyRequest[0]) {
    check(exchange.request ==
          std::vector<std::uint8_t>(std::begin(identifyRequest), std::end(identifyRequest)));
    check(exchange.reply == expected.identity);
    return;
  }
  check(exchange.request.front() == packetStart[0]);
  check(exchange.reply.size() == 1);
  const std::uint8_t reply = exchange.reply.front();
  check(reply == ACK || reply == NAK ||
        (chip.faults.replyPacket != 0 && reply == chip.faults.replyByte));
  if (exchange.work == ChipWork::erase)
    check(reply == ACK);
}

void checkFeed(const ChipState& chip, const std::vector<ChipExchange>& exchanges,
               Expectations& expected) {
  check(chip.program.size() == static_cast<std::size_t>(pmsize(chip.part)));
  check(chip.data.size() == static_cast<std::size_t>(dmsize(chip.part)));
  // An erase of program memory alone leaves data memory under the rule.
  bool programErased = false;
  bool dataErased = false;
  bool changed = false;
  for (const ChipExchange& exchange : exchanges) {
    checkExchange(chip, exchange, expected);
    expected.takenInSession += exchange.request.size();
    if (exchange.work == ChipWork::erase) {
      programErased = true;
      dataErased = dataErased || exchange.request[3] == commandEraseAll;
    }
    changed = changed || exchange.work != ChipWork::none;
  }
  // Every byte fed is either in a request taken or still waiting to complete one.
  check(chip.pending.size() < longestRequest);
  check(expected.takenInSession + chip.pending.size() == expected.fedInSession);
  if (!changed)
    return;
  check(programErased || onlyClearsBits(expected.program, chip.program));
  check(dataErased || onlyClearsBits(expected.data, chip.data));
  expected.program = chip.program;
  expected.data = chip.data;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  quietOutputOf(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < headerLength)
    return 0;
  ChipFaults faults;
  faults.nakPacket = data[1];
  faults.silentAfter = data[2] >= 0x80 ? -1 : data[2];
  faults.replyPacket = data[3];
  faults.replyByte = data[4];
  faults.refuseErase = (data[5] & 1) != 0;
  const std::size_t lengthCount = std::min<std::size_t>(data[6] & 0x0F, size - headerLength);
  const std::uint8_t* lengths = data + headerLength;
  const std::uint8_t* stream = lengths + lengthCount;
  const std::size_t streamLength = size - headerLength - lengthCount;

  ChipState chip = makeChip(1 + (data[0] & 1), faults);
  Expectations expected{identityOf(chip.part), chip.program, chip.data};
  std::vector<ChipExchange> exchanges;
  std::size_t at = 0;
  std::size_t turn = 0;
  std::size_t idleTurns = 0;
  while (at < streamLength) {
    std::size_t chunk = streamLength - at;
    if (lengthCount > 0) {
      const std::uint8_t length = lengths[turn++ % lengthCount];
      if (length == newSession) {
        resetSession(chip);
        expected.fedInSession = 0;
        expected.takenInSession = 0;
      }
      // A table of nothing but empty feeds and new sessions would never end the stream.
      idleTurns = length == 0 || length == newSession ? idleTurns + 1 : 0;
      if (idleTurns <= lengthCount)
        chunk = length == newSession ? 0 : std::min<std::size_t>(length, chunk);
    }
    // A copy of exactly the chunk, so ASan sees a read past its end.
    const std::vector<std::uint8_t> bytes(stream + at, stream + at + chunk);
    exchanges.clear();
    feedChipFrom(chip, bytes.data(), bytes.size(), exchanges);
    at += chunk;
    expected.fedInSession += chunk;
    checkFeed(chip, exchanges, expected);
  }
  return 0;
}
