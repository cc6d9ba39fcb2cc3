// The stand-in chip's loader: what it keeps, how it answers the bytes a host sends it, the flash
// rules its memories follow and the faults it can be given. It knows nothing of terminals or time:
// the wire (wire.h) carries its answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

inline constexpr std::uint8_t erasedByte = 0xFF;

// Misbehaviour on purpose, counted in Loader packets of one host session from 1.
struct ChipFaults {
  long nakPacket = 0;     // refuse this packet, 0 for none
  long silentAfter = -1;  // after this many packets answer nothing more, -1 for never
  long replyPacket = 0;   // answer this packet with replyByte and do nothing else
  std::uint8_t replyByte = 0;
  long ignorePacket = 0;     // answer this packet with nothing and do nothing, 0 for none
  bool refuseErase = false;  // refuse every erase
};

// What the chip had to do for a request, for a line that paces its timing.
enum class ChipWork { none, erase, program };

// One request the chip took from its input (or a run of bytes it discarded) and its answer.
struct ChipExchange {
  std::vector<std::uint8_t> request;
  std::vector<std::uint8_t> reply;
  ChipWork work = ChipWork::none;
  bool discarded = false;  // bytes that start no request, answered with nothing
};

struct ChipState {
  int part = 0;  // row of devs
  std::vector<std::uint8_t> program;
  std::vector<std::uint8_t> data;
  std::vector<std::uint8_t> pending;  // bytes of a request not yet complete
  long packets = 0;                   // Loader packets taken in this session
  ChipFaults faults;
};

// Returns a chip of the part in row part of devs with both memories erased.
[[nodiscard]] ChipState makeChip(int part, const ChipFaults& faults);

// Returns the 25-byte identification text the chip of row part of devs answers with.
[[nodiscard]] std::vector<std::uint8_t> identityOf(int part);

// Forgets a half-received request and the packet count, as a new host session begins.
void resetSession(ChipState& chip);

// Takes count bytes from the host and appends each request they complete, with its answer, to
// exchanges; bytes of a request not yet complete are kept for the next call.
void feedChipFrom(ChipState& chip, const std::uint8_t* bytes, std::size_t count,
                  std::vector<ChipExchange>& exchanges);

// Writes memory to file as Intel HEX, one record per 16-byte block that is not erased, and the
// end record; returns false when writing failed.
[[nodiscard]] bool writeDumpInto(FILE* file, const std::vector<std::uint8_t>& memory);
