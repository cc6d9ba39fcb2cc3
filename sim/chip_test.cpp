#include "chip.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// A write packet for command at address of 16 bytes of fill, but odd at oddAt if given.
Bytes packet(char command, int address, std::uint8_t fill, int odd = -1, int oddAt = 15) {
  Bytes bytes = {0x07, 0x0E, 0x14, std::uint8_t(command), 0};
  bytes.push_back(std::uint8_t(address >> 8));
  bytes.push_back(std::uint8_t(address));
  bytes.resize(23, fill);
  bytes[7 + std::size_t(oddAt)] = std::uint8_t(odd < 0 ? fill : odd);
  int sum = 0;
  for (std::size_t i = 2; i < bytes.size(); ++i)
    sum += bytes[i];
  bytes.push_back(std::uint8_t(-sum));
  return bytes;
}

// Feeds the request in three pieces, its first and last bytes apart; returns what the chip
// answered.
std::string answerTo(ChipState& chip, const Bytes& request) {
  std::vector<ChipExchange> exchanges;
  feedChipFrom(chip, request.data(), 1, exchanges);
  feedChipFrom(chip, request.data() + 1, request.size() - 2, exchanges);
  feedChipFrom(chip, &request.back(), 1, exchanges);
  std::string replies;
  for (const ChipExchange& exchange : exchanges)
    replies.append(exchange.reply.begin(), exchange.reply.end());
  return replies;
}

// One "842" chip takes the requests in turn: blocks programmed as flash is, only clearing bits;
// every bad packet refused without a change; then each erase erasing its memories, as their dumps
// show. A new session answers nothing ahead of its first request that checks out.
TEST(Chip, AnswersAndProgramsAsFlashDoes) {
  ChipState chip = makeChip(2, {});
  const std::string identity = "ADI 842 KS 2.3 kiln-sim\r\n";
  Bytes afterStray = packet('E', 0x0FF0, 0x0C);
  afterStray.insert(afterStray.begin(), 0x07);  // a stray 0x07 costs only itself
  const std::pair<Bytes, std::string> steps[] = {{{0x07, 0x0E, 0x01, 0x21, 0xDE}, "\x07"},
                                                 {packet('W', 0xF7F0, 0x3C), "\x06"},
                                                 {{0x21, 0x21, 0x5A, 0x00, 0xA6}, identity},
                                                 {packet('W', 0xF7F0, 0x2C), "\x06"},
                                                 {packet('W', 0xF7F0, 0x2C, 0x3C), "\x07"},
                                                 {packet('W', 0xF7F0, 0x2C, 0x3C, 0), "\x07"},
                                                 {afterStray, "\x07\x06"},
                                                 {packet('E', 0x0FF0, 0x0C, 0x1C), "\x07"},
                                                 {{0x07, 0x07, 0x0E, 0x01, 'A', 0xBD}, "\x07\x07"},
                                                 {{0x07, 0x0F}, "\x07"},
                                                 {{0x07, 0x0E, 0x00}, "\x07"},
                                                 {{0x07, 0x0E, 0x02, 'C', 0x00, 0xBB}, "\x07"},
                                                 {packet('w', 0x40, 0), "\x07"},
                                                 {packet('W', 0x48, 0), "\x07"},
                                                 {packet('W', 0xF800, 0), "\x07"},
                                                 {packet('E', 0x1000, 0), "\x07"}};
  for (const auto& [request, reply] : steps)
    EXPECT_EQ(answerTo(chip, request), reply) << testing::PrintToString(request);
  const std::string end = ":00000001FF\n",
                    data = ":100FF0000C0C0C0C0C0C0C0C0C0C0C0C0C0C0C0C31\n" + end;
  EXPECT_EQ(hexDumpOf(chip.program) + hexDumpOf(chip.data),
            ":10F7F0002C2C2C2C2C2C2C2C2C2C2C2C2C2C2C2C49\n" + end + data);
  EXPECT_EQ(answerTo(chip, {0x07, 0x0E, 0x01, 'C', 0xBC}), "\x06");
  EXPECT_EQ(hexDumpOf(chip.program) + hexDumpOf(chip.data), end + data);
  EXPECT_EQ(answerTo(chip, {0x07, 0x0E, 0x01, 'A', 0xBE}), "\x06");
  EXPECT_EQ(hexDumpOf(chip.data), end);
  resetSession(chip);
  EXPECT_EQ(answerTo(chip, {0x21, 0x5A, 0x07, 0x0E, 0x01, 'C', 0x00}), "");
  EXPECT_EQ(answerTo(chip, {0x07, 0x0E, 0x01, 'C', 0xBC}), "\x06");
}

}  // namespace
