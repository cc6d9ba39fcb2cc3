#include "chip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "hex/hex.h"
#include "loader/loader.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int part814 = 1;
constexpr int part842 = 2;

const Bytes identifyBytes(identifyRequest, identifyRequest + sizeof identifyRequest);
const Bytes eraseProgramBytes(eraseProgramPacket, eraseProgramPacket + sizeof eraseProgramPacket);
const Bytes eraseAllBytes(eraseAllPacket, eraseAllPacket + sizeof eraseAllPacket);

// Feeds bytes to chip in one piece; returns the exchanges they completed.
std::vector<ChipExchange> feedBytes(ChipState& chip, const Bytes& bytes) {
  std::vector<ChipExchange> exchanges;
  feedChipFrom(chip, bytes.data(), bytes.size(), exchanges);
  return exchanges;
}

// Returns every byte the chip answered to exchanges, in order.
Bytes repliesOf(const std::vector<ChipExchange>& exchanges) {
  Bytes replies;
  for (const ChipExchange& exchange : exchanges)
    replies.insert(replies.end(), exchange.reply.begin(), exchange.reply.end());
  return replies;
}

// Returns the chip's answer to bytes, all exchanges together.
Bytes answerTo(ChipState& chip, const Bytes& bytes) {
  return repliesOf(feedBytes(chip, bytes));
}

// Returns a write packet for command at address carrying block.
Bytes writePacket(std::uint8_t command, int address, const Bytes& block) {
  Bytes packet(writePacketLength);
  fillWritePacketInto(packet.data(), command, address, block.data());
  return packet;
}

// Returns a write packet for command at address whose 16 bytes are all value.
Bytes writePacket(std::uint8_t command, int address, std::uint8_t value) {
  return writePacket(command, address, Bytes(blockLength, value));
}

// Returns a framed Loader packet with length byte length, command and payload, checksummed.
Bytes loaderPacket(std::uint8_t length, std::uint8_t command, const Bytes& payload) {
  Bytes packet = {packetStart[0], packetStart[1], length, command};
  packet.insert(packet.end(), payload.begin(), payload.end());
  packet.push_back(
      static_cast<std::uint8_t>(checkSum(packet.data() + 2, 2 + static_cast<int>(payload.size()))));
  return packet;
}

// Returns the count bytes of memory from first.
Bytes bytesAt(const std::vector<std::uint8_t>& memory, std::size_t first, std::size_t count) {
  return {memory.begin() + static_cast<long>(first),
          memory.begin() + static_cast<long>(first + count)};
}

// Returns a chip of part whose memories each hold a few programmed blocks, so that an erase or a
// write would show.
ChipState makeProgrammedChip(int part) {
  ChipState chip = makeChip(part, {});
  for (int address : {0x00, 0x20}) {
    EXPECT_EQ(answerTo(chip, writePacket(commandWriteProgram, address, 0x3C)), Bytes{ACK});
    EXPECT_EQ(answerTo(chip, writePacket(commandWriteData, address, 0x3C)), Bytes{ACK});
  }
  resetSession(chip);
  return chip;
}

TEST(ChipIdentity, TextNamesMakerProductAndLoader) {
  for (int part : {part814, part842}) {
    SCOPED_TRACE(part);
    const Bytes text = identityOf(part);
    ASSERT_EQ(text.size(), 25U);
    EXPECT_EQ(std::string(text.begin(), text.begin() + 3), "ADI");
    EXPECT_EQ(std::string(text.begin() + 4, text.begin() + 7), devs[part].name);
    EXPECT_EQ(text[11], '2');

    ChipState chip = makeChip(part, {});
    const std::vector<ChipExchange> exchanges = feedBytes(chip, identifyBytes);
    ASSERT_EQ(exchanges.size(), 1U);
    EXPECT_EQ(exchanges[0].request, identifyBytes);
    EXPECT_EQ(exchanges[0].reply, text);
    EXPECT_FALSE(exchanges[0].discarded);
    EXPECT_EQ(exchanges[0].work, ChipWork::none);

    // The tool accepts the chip it stands in for.
    testing::internal::CaptureStdout();
    EXPECT_EQ(checkIdentityFrom(text.data()), part);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "OK: " + std::string(text.begin(), text.begin() + 14) + "\n");
  }
}

TEST(ChipMemory, StartsErasedAtTheSizesOfItsPart) {
  for (int part : {part814, part842}) {
    SCOPED_TRACE(part);
    const ChipState chip = makeChip(part, {});
    EXPECT_EQ(chip.program, Bytes(static_cast<std::size_t>(pmsize(part)), erasedByte));
    EXPECT_EQ(chip.data, Bytes(static_cast<std::size_t>(dmsize(part)), erasedByte));
  }
}

TEST(ChipFeed, ARequestSplitAcrossFeedsIsAnsweredOnceComplete) {
  ChipState chip = makeChip(part842, {});
  {
    std::vector<ChipExchange> exchanges;
    for (std::size_t i = 0; i < identifyBytes.size(); ++i) {
      feedChipFrom(chip, identifyBytes.data() + i, 1, exchanges);
      EXPECT_EQ(exchanges.size(), i + 1 == identifyBytes.size() ? 1U : 0U);
    }
    ASSERT_EQ(exchanges.size(), 1U);
    EXPECT_EQ(exchanges[0].reply, identityOf(part842));
  }
  {
    const Bytes packet = writePacket(commandWriteProgram, 0x40, 0x12);
    std::vector<ChipExchange> exchanges;
    std::size_t fed = 0;
    for (std::size_t piece : {1U, 2U, 1U, 17U, 3U}) {
      EXPECT_TRUE(exchanges.empty());
      feedChipFrom(chip, packet.data() + fed, piece, exchanges);
      fed += piece;
    }
    ASSERT_EQ(fed, packet.size());
    ASSERT_EQ(exchanges.size(), 1U);
    EXPECT_EQ(exchanges[0].request, packet);
    EXPECT_EQ(exchanges[0].reply, Bytes{ACK});
    EXPECT_EQ(exchanges[0].work, ChipWork::program);
    EXPECT_EQ(bytesAt(chip.program, 0x40, 16), Bytes(16, 0x12));
  }
  {
    // Two requests and the start of a third in one feed: two answers, the third awaited.
    const Bytes third = writePacket(commandWriteData, 0x10, 0x00);
    Bytes bytes = identifyBytes;
    bytes.insert(bytes.end(), eraseAllBytes.begin(), eraseAllBytes.end());
    bytes.insert(bytes.end(), third.begin(), third.begin() + 5);
    std::vector<ChipExchange> exchanges = feedBytes(chip, bytes);
    ASSERT_EQ(exchanges.size(), 2U);
    EXPECT_EQ(exchanges[1].request, eraseAllBytes);
    EXPECT_EQ(exchanges[1].reply, Bytes{ACK});
    exchanges = feedBytes(chip, Bytes(third.begin() + 5, third.end()));
    ASSERT_EQ(exchanges.size(), 1U);
    EXPECT_EQ(exchanges[0].request, third);
    EXPECT_EQ(exchanges[0].reply, Bytes{ACK});
  }
}

TEST(ChipFeed, GarbageBeforeARequestIsDiscardedUnanswered) {
  ChipState chip = makeChip(part814, {});
  {
    Bytes bytes = {'x', 'y', 'z'};
    bytes.insert(bytes.end(), identifyBytes.begin(), identifyBytes.end());
    const std::vector<ChipExchange> exchanges = feedBytes(chip, bytes);
    ASSERT_EQ(exchanges.size(), 2U);
    EXPECT_TRUE(exchanges[0].discarded);
    EXPECT_EQ(exchanges[0].request, (Bytes{'x', 'y', 'z'}));
    EXPECT_TRUE(exchanges[0].reply.empty());
    EXPECT_FALSE(exchanges[1].discarded);
    EXPECT_EQ(exchanges[1].reply, identityOf(part814));
  }
  {
    // A byte that could begin an identification request is discarded once it cannot.
    const Bytes packet = writePacket(commandWriteProgram, 0, 0x00);
    Bytes bytes = {0x00, 0xFF, '!', 'X'};
    bytes.insert(bytes.end(), packet.begin(), packet.end());
    const std::vector<ChipExchange> exchanges = feedBytes(chip, bytes);
    ASSERT_EQ(exchanges.size(), 2U);
    EXPECT_TRUE(exchanges[0].discarded);
    EXPECT_EQ(exchanges[0].request, (Bytes{0x00, 0xFF, '!', 'X'}));
    EXPECT_TRUE(exchanges[0].reply.empty());
    EXPECT_EQ(exchanges[1].request, packet);
    EXPECT_EQ(exchanges[1].reply, Bytes{ACK});
  }
  {
    std::vector<ChipExchange> exchanges = feedBytes(chip, {0x55, 0xAA});
    ASSERT_EQ(exchanges.size(), 1U);
    EXPECT_TRUE(exchanges[0].discarded);
    EXPECT_TRUE(exchanges[0].reply.empty());
    exchanges = feedBytes(chip, identifyBytes);
    ASSERT_EQ(exchanges.size(), 1U);
    EXPECT_EQ(exchanges[0].reply, identityOf(part814));
  }
}

TEST(ChipPackets, APacketIsAssertedByteForByte) {
  // 0x14 + 'W' + 16 * 0x01 = 0x7B, so the checksum is 0x85.
  const Bytes literal = {0x07, 0x0E, 0x14, 0x57, 0x00, 0x00, 0x00, 0x01, 0x01, 0x01, 0x01, 0x01,
                         0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x85};
  EXPECT_EQ(writePacket(commandWriteProgram, 0, 0x01), literal);
  EXPECT_EQ(Bytes(eraseProgramBytes), (Bytes{0x07, 0x0E, 0x01, 0x43, 0xBC}));
  EXPECT_EQ(Bytes(eraseAllBytes), (Bytes{0x07, 0x0E, 0x01, 0x41, 0xBE}));

  ChipState chip = makeChip(part814, {});
  EXPECT_EQ(answerTo(chip, literal), Bytes{ACK});
  EXPECT_EQ(bytesAt(chip.program, 0, 16), Bytes(16, 0x01));
  EXPECT_EQ(std::count(chip.program.begin(), chip.program.end(), erasedByte), pmsize(part814) - 16);
  EXPECT_EQ(chip.data, Bytes(static_cast<std::size_t>(dmsize(part814)), erasedByte));
}

TEST(ChipPackets, EachBadPacketIsNakedAndChangesNothing) {
  for (int part : {part814, part842}) {
    SCOPED_TRACE(part);
    const int programEnd = pmsize(part);
    const int dataEnd = dmsize(part);
    Bytes badChecksumWrite = writePacket(commandWriteProgram, 0x40, 0x00);
    badChecksumWrite.back() = static_cast<std::uint8_t>(badChecksumWrite.back() + 1);
    Bytes address40AndBlock = {0x00, 0x00, 0x40};
    address40AndBlock.insert(address40AndBlock.end(), 16, 0x00);
    Bytes address40AndShortBlock = {0x00, 0x00, 0x40};
    address40AndShortBlock.insert(address40AndShortBlock.end(), 15, 0x00);
    Bytes address40AndLongBlock = {0x00, 0x00, 0x40};
    address40AndLongBlock.insert(address40AndLongBlock.end(), 17, 0x00);

    struct Case {
      const char* name;
      Bytes bytes;
    };
    const Case cases[] = {
        {"broken frame 07 0F", {0x07, 0x0F, 0x01, 'C', 0xBC}},
        {"zero length", {0x07, 0x0E, 0x00}},
        {"bad checksum on C", {0x07, 0x0E, 0x01, 'C', 0xBD}},
        {"bad checksum on A", {0x07, 0x0E, 0x01, 'A', 0x00}},
        {"bad checksum on W", badChecksumWrite},
        {"unknown command X", loaderPacket(1, 'X', {})},
        {"lower-case c", loaderPacket(1, 'c', {})},
        {"unknown write w", loaderPacket(20, 'w', address40AndBlock)},
        {"C of length 2", loaderPacket(2, 'C', {0x00})},
        {"A of length 2", loaderPacket(2, 'A', {0x00})},
        {"W of length 1", loaderPacket(1, 'W', {})},
        {"W of length 19", loaderPacket(19, 'W', address40AndShortBlock)},
        {"E of length 21", loaderPacket(21, 'E', address40AndLongBlock)},
        {"W at 0x48", writePacket(commandWriteProgram, 0x48, 0x00)},
        {"E at 0x41", writePacket(commandWriteData, 0x41, 0x00)},
        {"W at the end", writePacket(commandWriteProgram, programEnd, 0x00)},
        {"W at 0xFFFFF0", writePacket(commandWriteProgram, 0xFFFFF0, 0x00)},
        {"E at the end", writePacket(commandWriteData, dataEnd, 0x00)},
        {"E at the program end", writePacket(commandWriteData, programEnd, 0x00)},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      ChipState chip = makeProgrammedChip(part);
      const ChipState before = chip;
      EXPECT_EQ(answerTo(chip, c.bytes), Bytes{NAK});
      EXPECT_EQ(chip.program, before.program);
      EXPECT_EQ(chip.data, before.data);
      // The chip is in step again for the next request.
      EXPECT_EQ(answerTo(chip, writePacket(commandWriteData, 0x40, 0x00)), Bytes{ACK});
    }
  }
}

TEST(ChipPackets, AStray07CostsOnlyItselfAndTheRequestBehindItIsHeard) {
  {
    ChipState chip = makeChip(part842, {});
    Bytes bytes = {0x07};
    bytes.insert(bytes.end(), std::begin(identifyRequest), std::end(identifyRequest));
    Bytes expected = {NAK};
    const Bytes identity = identityOf(part842);
    expected.insert(expected.end(), identity.begin(), identity.end());
    EXPECT_EQ(answerTo(chip, bytes), expected);
  }
  {
    ChipState chip = makeProgrammedChip(part814);
    EXPECT_EQ(answerTo(chip, {0x07, 0x07, 0x0E, 0x01, 'A', 0xBE}), (Bytes{NAK, ACK}));
    EXPECT_EQ(chip.data, Bytes(static_cast<std::size_t>(dmsize(part814)), erasedByte));
  }
}

TEST(ChipPackets, EraseProgramClearsProgramMemoryOnlyAndEraseAllClearsBoth) {
  for (int part : {part814, part842}) {
    SCOPED_TRACE(part);
    const Bytes erasedProgram(static_cast<std::size_t>(pmsize(part)), erasedByte);
    const Bytes erasedData(static_cast<std::size_t>(dmsize(part)), erasedByte);
    ChipState chip = makeProgrammedChip(part);
    const Bytes programmedData = chip.data;
    ASSERT_NE(programmedData, erasedData);

    std::vector<ChipExchange> exchanges = feedBytes(chip, eraseProgramBytes);
    ASSERT_EQ(exchanges.size(), 1U);
    EXPECT_EQ(exchanges[0].reply, Bytes{ACK});
    EXPECT_EQ(exchanges[0].work, ChipWork::erase);
    EXPECT_EQ(chip.program, erasedProgram);
    EXPECT_EQ(chip.data, programmedData);

    EXPECT_EQ(answerTo(chip, writePacket(commandWriteProgram, 0, 0x00)), Bytes{ACK});
    exchanges = feedBytes(chip, eraseAllBytes);
    ASSERT_EQ(exchanges.size(), 1U);
    EXPECT_EQ(exchanges[0].reply, Bytes{ACK});
    EXPECT_EQ(exchanges[0].work, ChipWork::erase);
    EXPECT_EQ(chip.program, erasedProgram);
    EXPECT_EQ(chip.data, erasedData);
  }
}

TEST(ChipPackets, WritesOnlyClearBitsAsFlashDoes) {
  for (std::uint8_t command : {commandWriteProgram, commandWriteData}) {
    SCOPED_TRACE(static_cast<char>(command));
    ChipState chip = makeChip(part814, {});
    auto& memory = command == commandWriteProgram ? chip.program : chip.data;
    const auto& other = command == commandWriteProgram ? chip.data : chip.program;
    const Bytes otherBefore = other;
    const int last = static_cast<int>(memory.size()) - blockLength;

    EXPECT_EQ(answerTo(chip, writePacket(command, 0x20, 0xF0)), Bytes{ACK});
    EXPECT_EQ(bytesAt(memory, 0x20, 16), Bytes(16, 0xF0));
    // 0xF0 to 0x30 only clears bits.
    EXPECT_EQ(answerTo(chip, writePacket(command, 0x20, 0x30)), Bytes{ACK});
    EXPECT_EQ(bytesAt(memory, 0x20, 16), Bytes(16, 0x30));
    // Back to 0xF0 would need bits set again.
    EXPECT_EQ(answerTo(chip, writePacket(command, 0x20, 0xF0)), Bytes{NAK});
    EXPECT_EQ(bytesAt(memory, 0x20, 16), Bytes(16, 0x30));
    // One byte needing a bit set refuses the whole block.
    Bytes block(16, 0x20);
    block[15] = 0x70;
    EXPECT_EQ(answerTo(chip, writePacket(command, 0x20, block)), Bytes{NAK});
    EXPECT_EQ(bytesAt(memory, 0x20, 16), Bytes(16, 0x30));
    // The same data again changes no bit and is accepted.
    EXPECT_EQ(answerTo(chip, writePacket(command, 0x20, 0x30)), Bytes{ACK});
    EXPECT_EQ(bytesAt(memory, 0x20, 16), Bytes(16, 0x30));
    // The last block of the memory is writable.
    EXPECT_EQ(answerTo(chip, writePacket(command, last, 0x5A)), Bytes{ACK});
    EXPECT_EQ(bytesAt(memory, static_cast<std::size_t>(last), 16), Bytes(16, 0x5A));

    EXPECT_EQ(std::count(memory.begin(), memory.end(), erasedByte),
              static_cast<long>(memory.size()) - 32);
    EXPECT_EQ(other, otherBefore);
  }
}

TEST(ChipFaults, NakRefusesTheNthLoaderPacketOnly) {
  ChipFaults faults;
  faults.nakPacket = 2;
  ChipState chip = makeChip(part842, faults);
  EXPECT_EQ(answerTo(chip, identifyBytes), identityOf(part842));
  EXPECT_EQ(answerTo(chip, writePacket(commandWriteProgram, 0x00, 0x00)), Bytes{ACK});
  // Identification requests are not Loader packets and do not count.
  EXPECT_EQ(answerTo(chip, identifyBytes), identityOf(part842));
  EXPECT_EQ(answerTo(chip, writePacket(commandWriteProgram, 0x10, 0x00)), Bytes{NAK});
  EXPECT_EQ(bytesAt(chip.program, 0x10, 16), Bytes(16, erasedByte));
  EXPECT_EQ(answerTo(chip, writePacket(commandWriteProgram, 0x10, 0x00)), Bytes{ACK});
  EXPECT_EQ(bytesAt(chip.program, 0x10, 16), Bytes(16, 0x00));
}

TEST(ChipFaults, SilentAfterNPacketsAnswersNothingMore) {
  {
    ChipFaults faults;
    faults.silentAfter = 2;
    ChipState chip = makeChip(part814, faults);
    EXPECT_EQ(answerTo(chip, identifyBytes), identityOf(part814));
    EXPECT_EQ(answerTo(chip, writePacket(commandWriteProgram, 0x00, 0x00)), Bytes{ACK});
    EXPECT_EQ(answerTo(chip, eraseAllBytes), Bytes{ACK});
    const Bytes third = writePacket(commandWriteProgram, 0x10, 0x00);
    const std::vector<ChipExchange> exchanges = feedBytes(chip, third);
    ASSERT_EQ(exchanges.size(), 1U);
    EXPECT_EQ(exchanges[0].request, third);
    EXPECT_TRUE(exchanges[0].reply.empty());
    EXPECT_TRUE(answerTo(chip, identifyBytes).empty());
    EXPECT_TRUE(answerTo(chip, eraseProgramBytes).empty());
  }
  {
    ChipFaults faults;
    faults.silentAfter = 0;
    ChipState chip = makeChip(part814, faults);
    EXPECT_TRUE(answerTo(chip, identifyBytes).empty());
    EXPECT_TRUE(answerTo(chip, eraseAllBytes).empty());
  }
}

TEST(ChipFaults, ReplyAnswersTheNthPacketWithItsByteDoingNothing) {
  ChipFaults faults;
  faults.replyPacket = 2;
  faults.replyByte = 0x55;
  {
    ChipState chip = makeChip(part842, faults);
    EXPECT_EQ(answerTo(chip, writePacket(commandWriteData, 0x00, 0x00)), Bytes{ACK});
    EXPECT_EQ(answerTo(chip, writePacket(commandWriteData, 0x10, 0x00)), Bytes{0x55});
    EXPECT_EQ(bytesAt(chip.data, 0x10, 16), Bytes(16, erasedByte));
    EXPECT_EQ(answerTo(chip, writePacket(commandWriteData, 0x10, 0x00)), Bytes{ACK});
  }
  {
    // Even an ACK given this way does not erase.
    faults.replyByte = ACK;
    ChipState chip = makeProgrammedChip(part842);
    chip.faults = faults;
    const ChipState before = chip;
    EXPECT_EQ(answerTo(chip, identifyBytes), identityOf(part842));
    EXPECT_EQ(answerTo(chip, writePacket(commandWriteData, 0x40, 0x00)), Bytes{ACK});
    EXPECT_EQ(answerTo(chip, eraseAllBytes), Bytes{ACK});
    EXPECT_EQ(chip.program, before.program);
    EXPECT_EQ(bytesAt(chip.data, 0x00, 16), Bytes(16, 0x3C));
  }
}

TEST(ChipFaults, RefuseEraseRefusesBothErasesButNotWrites) {
  ChipFaults faults;
  faults.refuseErase = true;
  ChipState chip = makeProgrammedChip(part814);
  chip.faults = faults;
  const ChipState before = chip;
  EXPECT_EQ(answerTo(chip, eraseProgramBytes), Bytes{NAK});
  EXPECT_EQ(answerTo(chip, eraseAllBytes), Bytes{NAK});
  EXPECT_EQ(chip.program, before.program);
  EXPECT_EQ(chip.data, before.data);
  EXPECT_EQ(answerTo(chip, writePacket(commandWriteProgram, 0x40, 0x00)), Bytes{ACK});
}

TEST(ChipFaults, ResetSessionStartsTheCountAgainAndDropsAHalfRequest) {
  {
    ChipFaults faults;
    faults.nakPacket = 1;
    ChipState chip = makeChip(part842, faults);
    EXPECT_EQ(answerTo(chip, eraseAllBytes), Bytes{NAK});
    EXPECT_EQ(answerTo(chip, eraseAllBytes), Bytes{ACK});
    resetSession(chip);
    EXPECT_EQ(answerTo(chip, eraseAllBytes), Bytes{NAK});
  }
  {
    ChipFaults faults;
    faults.silentAfter = 1;
    ChipState chip = makeChip(part842, faults);
    EXPECT_EQ(answerTo(chip, eraseAllBytes), Bytes{ACK});
    EXPECT_TRUE(answerTo(chip, identifyBytes).empty());
    resetSession(chip);
    EXPECT_EQ(answerTo(chip, identifyBytes), identityOf(part842));
    EXPECT_EQ(answerTo(chip, eraseAllBytes), Bytes{ACK});
  }
  {
    ChipState chip = makeChip(part842, {});
    const Bytes packet = writePacket(commandWriteProgram, 0x30, 0x00);
    EXPECT_TRUE(feedBytes(chip, Bytes(packet.begin(), packet.begin() + 10)).empty());
    resetSession(chip);
    const std::vector<ChipExchange> exchanges = feedBytes(chip, packet);
    ASSERT_EQ(exchanges.size(), 1U);
    EXPECT_EQ(exchanges[0].request, packet);
    EXPECT_EQ(exchanges[0].reply, Bytes{ACK});
  }
}

// Returns what writeDumpInto writes for memory, and whether it reported success.
std::string dumpOf(const std::vector<std::uint8_t>& memory, bool& written) {
  char* text = nullptr;
  std::size_t length = 0;
  FILE* file = open_memstream(&text, &length);
  if (file == nullptr) {
    ADD_FAILURE() << "open_memstream failed";
    return {};
  }
  written = writeDumpInto(file, memory);
  fclose(file);
  std::string dump(text, length);
  free(text);
  return dump;
}

TEST(ChipDump, WritesOneRecordPerBlockThatIsNotErasedAndTheEndRecord) {
  Bytes memory(0xA0, erasedByte);
  for (std::size_t i = 0; i < 16; ++i)
    memory[i] = static_cast<std::uint8_t>(i);
  memory[0x4F] = 0xFE;
  std::fill(memory.begin() + 0x90, memory.end(), 0x01);
  bool written = false;
  const std::string dump = dumpOf(memory, written);
  EXPECT_TRUE(written);
  EXPECT_EQ(dump,
            ":10000000000102030405060708090A0B0C0D0E0F78\n"
            ":10004000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEC1\n"
            ":100090000101010101010101010101010101010150\n"
            ":00000001FF\n");

  EXPECT_EQ(dumpOf(Bytes(0xA0, erasedByte), written), ":00000001FF\n");
  EXPECT_TRUE(written);

  FILE* readOnly = fopen("/dev/null", "r");
  ASSERT_NE(readOnly, nullptr);
  EXPECT_FALSE(writeDumpInto(readOnly, memory));
  fclose(readOnly);
}

TEST(ChipDump, ReadsBackThroughTheHexReader) {
  for (int part : {part814, part842}) {
    for (const bool program : {true, false}) {
      SCOPED_TRACE(std::to_string(part) + (program ? " program" : " data"));
      Bytes memory(static_cast<std::size_t>(program ? pmsize(part) : dmsize(part)), erasedByte);
      const std::size_t size = memory.size();
      // First and last blocks, one of zeros and one in the middle partly erased.
      for (std::size_t i = 0; i < 16; ++i) {
        memory[i] = static_cast<std::uint8_t>(i * 37 + 5);
        memory[size - 16 + i] = static_cast<std::uint8_t>(0xF0 - i);
        memory[0x30 + i] = 0x00;
      }
      memory[size / 2 + 3] = 0x7E;

      bool written = false;
      std::string dump = dumpOf(memory, written);
      ASSERT_TRUE(written);
      // Every record's bytes add up to zero modulo 256.
      for (std::size_t start = dump.find(':'); start != std::string::npos;
           start = dump.find(':', start + 1)) {
        const std::size_t end = dump.find('\n', start);
        unsigned sum = 0;
        for (std::size_t i = start + 1; i + 1 < end; i += 2)
          sum += static_cast<unsigned>(std::stoul(dump.substr(i, 2), nullptr, 16));
        EXPECT_EQ(sum % 256U, 0U) << dump.substr(start, end - start);
      }

      FILE* file = fmemopen(dump.data(), dump.size(), "r");
      ASSERT_NE(file, nullptr);
      Bytes image(size, 0);
      testing::internal::CaptureStderr();
      EXPECT_EQ(readFromHexInto(file, static_cast<int>(size), image.data()), 0);
      EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
      fclose(file);
      for (std::size_t block = 0; block < size; block += 16) {
        const Bytes expected = bytesAt(memory, block, 16);
        const bool erased = expected == Bytes(16, erasedByte);
        EXPECT_EQ(bytesAt(image, block, 16), erased ? Bytes(16, 0x00) : expected) << block;
      }
    }
  }
}

}  // namespace
