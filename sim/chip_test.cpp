#include "chip.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// A write packet for command at address of 16 bytes of fill, the last one last if given.
Bytes packet(char command, int address, std::uint8_t fill, int last = -1) {
  Bytes bytes = {0x07,
                 0x0E,
                 0x14,
                 std::uint8_t(command),
                 0,
                 std::uint8_t(address >> 8),
                 std::uint8_t(address)};
  bytes.resize(23, fill);
  bytes.back() = std::uint8_t(last < 0 ? fill : last);
  int sum = 0;
  for (std::size_t i = 2; i < bytes.size(); ++i)
    sum += bytes[i];
  bytes.push_back(std::uint8_t(-sum));
  return bytes;
}

// Feeds the requests in two pieces, the last byte apart; returns what the chip answered.
std::string answersTo(ChipState& chip, const Bytes& requests) {
  std::vector<ChipExchange> exchanges;
  feedChipFrom(chip, requests.data(), requests.size() - 1, exchanges);
  feedChipFrom(chip, &requests.back(), 1, exchanges);
  std::string replies;
  for (const ChipExchange& exchange : exchanges)
    replies.append(exchange.reply.begin(), exchange.reply.end());
  return replies;
}

// Each row: requests to a fresh "842" chip whose first bytes of both memories and last of data
// memory hold 3C, its answers, and the first and last bytes of program and of data memory after.
TEST(Chip, AnswersAndProgramsAsFlashDoes) {
  const auto join = [](std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts)
      all.insert(all.end(), part.begin(), part.end());
    return all;
  };
  const Bytes eraseAll = {0x07, 0x0E, 0x01, 0x41, 0xBE},
              eraseProgram = {0x07, 0x0E, 0x01, 0x43, 0xBC};
  const std::tuple<Bytes, std::string, std::string> rows[] = {
      {{0x21, 0x5A, 0x00, 0xA6}, "ADI 842 KS 2.3 kiln-sim\r\n", "\x3C\xFF\x3C\x3C"},
      {eraseProgram, "\x06", "\xFF\xFF\x3C\x3C"},
      {eraseAll, "\x06", "\xFF\xFF\xFF\xFF"},
      {join({packet('W', 0xF7F0, 0x30), packet('E', 0, 0x0C)}), "\x06\x06", "\x3C\x30\x0C\x3C"},
      {join({packet('W', 0, 0x3C), packet('W', 0, 0x2C), packet('W', 0, 0x3C)}), "\x06\x06\x07",
       "\x2C\xFF\x3C\x3C"},
      {join({{0x07}, eraseProgram}), "\x07\x06", "\xFF\xFF\x3C\x3C"},
      {{0x07, 0x0F, 0x01, 'C', 0xBC}, "\x07", "\x3C\xFF\x3C\x3C"},
      {{0x07, 0x0E, 0x00}, "\x07", "\x3C\xFF\x3C\x3C"},
      {{0x07, 0x0E, 0x01, 'C', 0xBD}, "\x07", "\x3C\xFF\x3C\x3C"},
      {{0x07, 0x0E, 0x01, 'X', 0xA7}, "\x07", "\x3C\xFF\x3C\x3C"},
      {{0x07, 0x0E, 0x02, 'C', 0x00, 0xBB}, "\x07", "\x3C\xFF\x3C\x3C"},
      {join({packet('w', 0x40, 0), packet('W', 0x48, 0), packet('W', 0xF800, 0)}), "\x07\x07\x07",
       "\x3C\xFF\x3C\x3C"},
      {join({packet('E', 0x1000, 0), packet('E', 0x0FF0, 0x0C, 0x3D), packet('E', 0x0FF0, 0x0C)}),
       "\x07\x07\x06", "\x3C\xFF\x3C\x0C"},
  };
  for (const auto& [requests, replies, ends] : rows) {
    SCOPED_TRACE(testing::PrintToString(requests));
    ChipState chip = makeChip(2, {});
    chip.program[0] = chip.data[0] = chip.data.back() = 0x3C;
    EXPECT_EQ(answersTo(chip, requests), replies);
    EXPECT_EQ(std::string({char(chip.program[0]), char(chip.program.back()), char(chip.data[0]),
                           char(chip.data.back())}),
              ends);
  }
}

// The fault counts start again with each host session, whatever the last one left half sent.
TEST(Chip, EachSessionCountsItsPacketsFromOne) {
  ChipState chip = makeChip(1, {.nakPacket = 2});
  const Bytes erase = {0x07, 0x0E, 0x01, 0x43, 0xBC, 0x07, 0x0E, 0x01, 0x43, 0xBC, 0x07, 0x0E};
  EXPECT_EQ(answersTo(chip, erase), "\x06\x07");
  resetSession(chip);
  EXPECT_EQ(answersTo(chip, erase), "\x06\x07");
}

}  // namespace
