#include "chip.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "hex/hex.h"
#include "loader/loader.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int part814 = 1;
constexpr int part842 = 2;
const Bytes identifyBytes(std::begin(identifyRequest), std::end(identifyRequest));
const Bytes eraseProgramBytes(std::begin(eraseProgramPacket), std::end(eraseProgramPacket));
const Bytes eraseAllBytes(std::begin(eraseAllPacket), std::end(eraseAllPacket));

// Returns the byte strings one after another.
Bytes joined(std::initializer_list<Bytes> pieces) {
  Bytes all;
  for (const Bytes& piece : pieces)
    all.insert(all.end(), piece.begin(), piece.end());
  return all;
}

// Returns every byte the chip answered to bytes fed in one piece.
Bytes answerTo(ChipState& chip, const Bytes& bytes) {
  std::vector<ChipExchange> exchanges;
  feedChipFrom(chip, bytes.data(), bytes.size(), exchanges);
  Bytes replies;
  for (const ChipExchange& exchange : exchanges)
    replies = joined({replies, exchange.reply});
  return replies;
}

// Returns a write packet for command at address of 16 bytes of value, the last one last if given.
Bytes writePacket(std::uint8_t command, int address, std::uint8_t value, int last = -1) {
  Bytes block(blockLength, value);
  block.back() = static_cast<std::uint8_t>(last < 0 ? value : last);
  Bytes packet(writePacketLength);
  fillWritePacketInto(packet.data(), command, address, block.data());
  return packet;
}

// Returns an erased memory of size bytes but for a block of value at address.
Bytes memoryWith(int size, int address, std::uint8_t value) {
  Bytes memory(static_cast<std::size_t>(size), erasedByte);
  std::fill_n(memory.begin() + address, blockLength, value);
  return memory;
}

TEST(ChipFeed, AnswersEachRequestOnItsLastByteWithAnIdentityTheToolAccepts) {
  for (int part : {part814, part842}) {
    ChipState chip = makeChip(part, {});
    // A stray 0x07 costs only itself, even in front of a packet.
    const Bytes stream =
        joined({{0x07}, identifyBytes, {0x07}, eraseAllBytes, writePacket('W', 0x40, 0x12)});
    using Answers = std::vector<std::pair<std::size_t, Bytes>>;  // after how many bytes, what
    Answers answers;
    for (std::size_t i = 0; i < stream.size(); ++i)
      if (Bytes reply = answerTo(chip, {stream[i]}); !reply.empty())
        answers.emplace_back(i + 1, reply);
    EXPECT_EQ(answers,
              (Answers{{2, {NAK}}, {5, identityOf(part)}, {7, {NAK}}, {11, {ACK}}, {35, {ACK}}}));
    EXPECT_EQ(chip.program, memoryWith(pmsize(part), 0x40, 0x12));
    testing::internal::CaptureStdout();
    EXPECT_EQ(checkIdentityFrom(identityOf(part).data()), part);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "OK: ADI " + std::string(devs[part].name) + " KS 2.3\n");
  }
}

TEST(ChipPackets, EachBadPacketIsNakedAndChangesNothing) {
  for (int part : {part814, part842}) {
    // Broken frame, zero length, bad checksum, unknown commands, wrong lengths, an unaligned
    // address and blocks past the end of either memory.
    const Bytes cases[] = {
        {0x07, 0x0F, 0x01, 'C', 0xBC},
        {0x07, 0x0E, 0x00},
        {0x07, 0x0E, 0x01, 'C', 0xBD},
        {0x07, 0x0E, 0x01, 'X', 0xA7},
        writePacket('w', 0x40, 0),
        {0x07, 0x0E, 0x02, 'C', 0x00, 0xBB},
        joined({{0x07, 0x0E, 0x13, 'W'}, Bytes(18, 0x00), {0x96}}),
        writePacket('W', 0x48, 0),
        writePacket('W', pmsize(part), 0),
        writePacket('E', dmsize(part), 0),
    };
    for (const Bytes& bytes : cases) {
      SCOPED_TRACE(testing::PrintToString(bytes));
      ChipState chip = makeChip(part, {});
      chip.program[0] = chip.data[0] = 0x3C;  // so that an erase would show
      const Bytes before = joined({chip.program, chip.data});
      EXPECT_EQ(answerTo(chip, bytes), Bytes{NAK});
      EXPECT_EQ(joined({chip.program, chip.data}), before);
      // In step again for the next request, which may be for the last block.
      EXPECT_EQ(answerTo(chip, writePacket('E', dmsize(part) - blockLength, 0)), Bytes{ACK});
    }
  }
}

TEST(ChipPackets, WritesOnlyClearBitsAndTheErasesOfTheirMemorySetThemAgain) {
  ChipState chip = makeChip(part814, {});
  // The last byte of the fifth write, 0x70 over 0x30, would set a bit again.
  const Bytes writes = joined({writePacket('W', 0x20, 0xF0), writePacket('W', 0x20, 0x30),
                               writePacket('W', 0x20, 0x30), writePacket('W', 0x20, 0xF0),
                               writePacket('W', 0x20, 0x20, 0x70), writePacket('E', 0x40, 0x3C)});
  EXPECT_EQ(answerTo(chip, writes), (Bytes{ACK, ACK, ACK, NAK, NAK, ACK}));
  EXPECT_EQ(chip.program, memoryWith(pmsize(part814), 0x20, 0x30));
  EXPECT_EQ(answerTo(chip, joined({eraseProgramBytes, writePacket('W', 0x20, 0xF0)})),
            (Bytes{ACK, ACK}));
  EXPECT_EQ(chip.program, memoryWith(pmsize(part814), 0x20, 0xF0));
  EXPECT_EQ(chip.data, memoryWith(dmsize(part814), 0x40, 0x3C));
  EXPECT_EQ(answerTo(chip, eraseAllBytes), Bytes{ACK});
  EXPECT_EQ(chip.program, memoryWith(pmsize(part814), 0, erasedByte));
  EXPECT_EQ(chip.data, memoryWith(dmsize(part814), 0, erasedByte));
}

TEST(ChipFaults, EachFaultChangesOnlyTheAnswersItNamesAndCountsPerSession) {
  // Identification is no Loader packet; packet 3 can only be written if packet 2 erased.
  const Bytes script[] = {identifyBytes,     writePacket('W', 0, 0x00), identifyBytes,
                          eraseProgramBytes, writePacket('W', 0, 0x5A), eraseAllBytes,
                          identifyBytes};
  const std::map<char, Bytes> meaning = {
      {'i', identityOf(part842)}, {'A', {ACK}}, {'N', {NAK}}, {'U', {0x55}}, {'-', {}}};
  // The faults, the answers to the script, and the first byte of program memory after it.
  const std::tuple<ChipFaults, std::string, std::uint8_t> cases[] = {
      {{}, "iAiAAAi", erasedByte},
      {{.nakPacket = 2}, "iAiNNAi", erasedByte},
      {{.silentAfter = 2}, "iAiA---", erasedByte},
      {{.silentAfter = 0}, "-------", erasedByte},
      {{.replyPacket = 2, .replyByte = 0x55}, "iAiUNAi", erasedByte},
      {{.ignorePacket = 2}, "iAi-NAi", erasedByte},
      {{.refuseErase = true}, "iAiNNNi", 0x00},
  };
  for (const auto& [faults, answers, firstByte] : cases) {
    ChipState chip = makeChip(part842, faults);
    // A new session, though the last one ended inside a request, is answered as the first.
    for (int session = 1; session <= 2; ++session) {
      for (std::size_t k = 0; k < std::size(script); ++k)
        EXPECT_EQ(answerTo(chip, script[k]), meaning.at(answers[k]))
            << answers << ", session " << session << ", request " << k;
      EXPECT_EQ(chip.program[0], firstByte) << answers;
      answerTo(chip, Bytes(eraseAllBytes.begin(), eraseAllBytes.begin() + 3));
      resetSession(chip);
    }
  }
}

TEST(ChipDump, WritesOneRecordPerBlockNotErasedThatTheHexReaderReadsBack) {
  Bytes memory = memoryWith(0x1000, 0, 0x00);
  memory[0x4F] = 0xFE;
  std::fill_n(memory.end() - 16, 16, 0x5A);
  char text[256] = {};
  FILE* file = fmemopen(text, sizeof text, "w+");
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(writeDumpInto(file, memory));
  rewind(file);
  EXPECT_STREQ(text,
               ":1000000000000000000000000000000000000000F0\n"
               ":10004000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEC1\n"
               ":100FF0005A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A51\n"
               ":00000001FF\n");
  Bytes image(memory.size(), 0);
  EXPECT_EQ(readFromHexInto(file, static_cast<int>(image.size()), image.data()), 0);
  fclose(file);
  // The blocks left out read back as the reader's zeros.
  std::fill(memory.begin() + 0x10, memory.begin() + 0x40, 0);
  std::fill(memory.begin() + 0x50, memory.end() - 16, 0);
  EXPECT_EQ(image, memory);
}

}  // namespace
