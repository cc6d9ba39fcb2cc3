// The stand-in chip's loader: what it keeps, how it answers the bytes a host sends it, the flash
// rules its memories follow, the faults it can be given and the dumps of its memories. It knows
// nothing of terminals, files or time: the wire (wire.h) carries its answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Misbehaviour on purpose, counted in Loader packets of one host session from 1.
struct ChipFaults {
  long nakPacket = 0;     // refuse this packet, 0 for none
  long silentAfter = -1;  // after this many packets answer nothing more, -1 for never
  long replyPacket = 0;   // answer this packet with replyBytes and do nothing else
  std::vector<std::uint8_t> replyBytes;
  long ignorePacket = 0;     // answer this packet with nothing and do nothing, 0 for none
  bool refuseErase = false;  // refuse every erase
  std::string identity;      // answered to the identification in place of the chip's own, if any
};

// What the chip had to do for a request, for a line that paces its timing.
enum class ChipWork { none, erase, program };

// One request the chip took from its input (or a run of bytes it discarded) and its answer.
struct ChipExchange {
  std::vector<std::uint8_t> request;
  std::vector<std::uint8_t> reply;
  ChipWork work = ChipWork::none;
  bool discarded = false;  // bytes taken for no request, answered with nothing
  long packet = 0;         // the Loader packet answered, from 1 in its session; 0 for none
};

struct ChipState {
  int device = 0;  // row of devs
  std::vector<std::uint8_t> program;
  std::vector<std::uint8_t> data;
  std::vector<std::uint8_t> pending;  // bytes of a request not yet complete
  long packets = 0;                   // Loader packets taken in this session
  bool hunting = true;                // no request of this session has checked out yet
  ChipFaults faults;
};

// Returns a chip of the device in row device of devs with both memories erased.
[[nodiscard]] ChipState makeChip(int device, const ChipFaults& faults);

// Forgets a half-received request and the packet count, and looks for the session's first request
// afresh, as a new host session begins.
void resetSession(ChipState& chip);

// Takes count bytes from the host and appends each request they complete, with its answer, to
// exchanges, and the bytes it discards as a run, or to the run exchanges ends with; bytes of a
// request not yet complete are kept for the next call. Until a request of the session checks out,
// what comes before one is discarded unanswered: it may be the end of a request the last host left
// half sent.
void feedChipFrom(ChipState& chip, const std::uint8_t* bytes, std::size_t count,
                  std::vector<ChipExchange>& exchanges);

// Returns memory as Intel HEX text: a data record for each 16-byte block that is not erased, then
// the end record.
[[nodiscard]] std::string hexDumpOf(const std::vector<std::uint8_t>& memory);
