#include "loader/loader.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "loader/progress.h"
#include "serial/serial.h"

const DeviceEntry devs[4] = {
    {"", 0, 0},
    {"814", 0x2000, 0xA0},
    {"842", 0xF800, 0x1000},
    {"", 0, 0},
};

namespace {

// Each verdict prints the reply cut at a fixed length: the first ten characters as the product
// id, the first eight as the device, the first fourteen when it is accepted.
constexpr int productIdEnd = 10;
constexpr int deviceNameEnd = 8;
constexpr int identityEnd = 14;

// Long enough for a packet to cross the line (25 ms at 9600 baud) and an adapter to hand it on.
constexpr long long quietNanos = 50 * nanosPerMilli;
// A line that never falls silent is given up on after this, and the run goes on to its verdict.
constexpr long long settleLimitNanos = 200 * nanosPerMilli;
// After a time-out, an answer that was merely late must not be taken for the next request's.
constexpr long long graceNanos = 200 * nanosPerMilli;

// What an exchange came to, besides the reply byte itself.
constexpr int timedOut = -1;
constexpr int outOfStep = -2;
constexpr int notSent = -3;
constexpr int stopped = -4;

// Returns text up to its first zero byte, every byte outside printable ASCII as \xHH: what the
// chip sent must not reach the user's terminal as control sequences.
std::string printableOf(const char* text) {
  std::string shown;
  for (; *text != '\0'; ++text) {
    const auto byte = static_cast<unsigned char>(*text);
    if (byte >= 0x20 && byte < 0x7F) {
      shown += *text;
    } else {
      char escaped[5];
      snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      shown += escaped;
    }
  }
  return shown;
}

// Sends request, which firstOfAction tells apart. What waits ahead of an action's first request
// is stale (the tail of an identification, noise) and dropped; a byte ahead of a later one came
// after an answer the action already had. Returns the count sent, or outOfStep after its message.
int sendRequestFrom(int port, int length, const std::uint8_t* request, bool firstOfAction) {
  if (drainSerialPortUpto(port, 0, 0) > 0 && !firstOfAction) {
    printOnOwnLine("Unexpected response.\n", stdout);
    return outOfStep;
  }
  return writeSerialPortFrom(port, length, request);
}

// The 1-byte answer to a Loader packet, or timedOut after its message.
int awaitReply(int port) {
  std::uint8_t reply = 0;
  if (readSerialPortUpto(port, &reply, 1) != 1) {
    printOnOwnLine("Serial Port: Time Out.\n", stderr);
    return timedOut;
  }
  return reply;
}

// Ends an action whose last exchange came to outcome: waits until the line has been silent for a
// while, longer after a time-out; returns outcome, or outOfStep after its message when anything
// came after an acknowledgement.
int settleAfter(int port, int outcome) {
  const long long quiet = outcome == timedOut ? graceNanos : quietNanos;
  if (drainSerialPortUpto(port, quiet, quiet + settleLimitNanos) > 0 && outcome == ACK) {
    printOnOwnLine("Unexpected response.\n", stdout);
    return outOfStep;
  }
  return outcome;
}

// Sends one of the erase packets and prints the loader's answer; returns whether it was
// acknowledged. Only the program-memory erase has ever reported a short send.
bool eraseWith(int port, const std::uint8_t (&packet)[5], bool reportShortSend, const char* erased,
               const char* refused) {
  if (sendRequestFrom(port, sizeof packet, packet, true) != sizeof packet && reportShortSend)
    fputs("Serial port wirte error.\n", stderr);
  const int reply = settleAfter(port, awaitReply(port));
  if (reply == ACK)
    fputs(erased, stdout);
  else if (reply >= 0)
    fputs(reply == NAK ? refused : "Unknown response.\n", stdout);
  return reply == ACK;
}

bool isZeroBlock(const std::uint8_t* block) {
  for (int i = 0; i < blockLength; ++i) {
    if (block[i] != 0)
      return false;
  }
  return true;
}

// Fills a 24-byte write packet for command with address and the 16 bytes at block.
void fillWritePacketInto(std::uint8_t* packet, std::uint8_t command, int address,
                         const std::uint8_t* block) {
  packet[0] = packetStart[0];
  packet[1] = packetStart[1];
  packet[2] = writePayloadLength;
  packet[3] = command;
  packet[writeAddressOffset] = static_cast<std::uint8_t>(address >> 16);
  packet[writeAddressOffset + 1] = static_cast<std::uint8_t>(address >> 8);
  packet[writeAddressOffset + 2] = static_cast<std::uint8_t>(address);
  std::memcpy(packet + writeDataOffset, block, blockLength);
  packet[writePacketLength - 1] =
      static_cast<std::uint8_t>(checkSum(packet + 2, writePayloadLength + 1));
}

// Sends one packet of block at address and waits for its answer; returns the answer, or what
// the exchange came to instead, after its message.
int writeBlockFrom(int port, std::uint8_t command, int address, const std::uint8_t* block,
                   bool firstOfAction) {
  std::uint8_t packet[writePacketLength];
  fillWritePacketInto(packet, command, address, block);
  const int sent = sendRequestFrom(port, writePacketLength, packet, firstOfAction);
  if (sent == outOfStep)
    return outOfStep;
  if (sent != writePacketLength) {
    printOnOwnLine("Serial write error.\n", stdout);
    return notSent;
  }
  const int reply = awaitReply(port);
  if (reply >= 0 && reply != ACK)
    printOnOwnLine(reply == NAK ? "NAK recieved.\n" : "Unknown response.\n", stdout);
  return reply;
}

// Returns the count of 16-byte blocks of the size-byte image that are not all zero: those a write
// sends.
int countBlocksToSend(int size, const std::uint8_t* image) {
  int count = 0;
  for (int address = 0; address < size; address += blockLength)
    count += isZeroBlock(image + address) ? 0 : 1;
  return count;
}

// Sends every 16-byte block of the size-byte image that is not all zero under command, showing
// each acknowledged packet; returns 1 when all were acknowledged, 0 at the first failure.
int writeBufferFrom(int port, std::uint8_t command, int size, const std::uint8_t* image) {
  int outcome = ACK;
  bool first = true;
  WriteProgress progress = startProgress(countBlocksToSend(size, image));
  for (int address = 0; address < size && outcome == ACK; address += blockLength) {
    // The chip keeps whatever it held under an all-zero block: such blocks are never sent.
    if (isZeroBlock(image + address))
      continue;
    // The answer to the last packet is in, so the run can end here with the line in step.
    if (stopSignal != 0) {
      outcome = stopped;
      break;
    }
    outcome = writeBlockFrom(port, command, address, image + address, first);
    first = false;
    if (outcome == ACK)
      showBlockAccepted(progress);
  }
  return settleAfter(port, outcome) == ACK ? 1 : 0;
}

// Writes image under command and prints the verdict; returns whether it was written.
bool writeMemoryFrom(int port, std::uint8_t command, int size, const std::uint8_t* image,
                     const char* written, const char* failed) {
  const bool done = writeBufferFrom(port, command, size, image) == 1;
  printOnOwnLine(done ? written : failed, stdout);
  return done;
}

}  // namespace

std::span<const DeviceEntry> knownDevices() {
  std::size_t end = 1;
  while (devs[end].name[0] != '\0')
    ++end;
  return {devs + 1, devs + end};
}

int checkSum(const std::uint8_t* data, int count) {
  unsigned sum = 0;
  for (int i = 0; i < count; ++i)
    sum += data[i];
  return static_cast<int>((256U - sum % 256U) % 256U);
}

int identifyDevice(const char* code) {
  for (const DeviceEntry& row : knownDevices()) {
    if (std::strncmp(code, row.name, 3) == 0)
      return static_cast<int>(&row - devs);
  }
  return 0;
}

int pmsize(int index) {
  return devs[index].programSize;
}

int dmsize(int index) {
  return devs[index].dataSize;
}

int checkIdentity(const std::uint8_t* reply) {
  // The texts printed are zero-terminated strings cut from the reply, so a zero byte inside the
  // reply ends them early.
  char text[identifyReplyLength + 1] = {};
  std::memcpy(text, reply, identifyReplyLength);
  if (std::memcmp(text, manufacturerCode, sizeof manufacturerCode - 1) != 0) {
    text[productIdEnd] = '\0';
    printf("Not supported: Product id = %s\n", printableOf(text).c_str());
    return 0;
  }
  const int index = identifyDevice(text + productAt);
  if (index == 0) {
    text[deviceNameEnd] = '\0';
    printf("%s is not supported.\n", printableOf(text).c_str());
    return 0;
  }
  text[identityEnd] = '\0';
  if (text[loaderVersionAt] != supportedLoaderVersion) {
    printf("%s Loder is not supported.\n", printableOf(text + loaderAt).c_str());
    return 0;
  }
  printf("OK: %s\n", text);
  return index;
}

int identify(int port) {
  // An answer an earlier run left in flight would be read as the start of the identity.
  (void)drainSerialPortUpto(port, quietNanos, settleLimitNanos);
  // A request that did not go out shows as the time-out of its reply.
  (void)writeSerialPortFrom(port, sizeof identifyRequest, identifyRequest);
  std::uint8_t reply[identifyReplyLength] = {};
  if (readSerialPortUpto(port, reply, identifyReplyLength) < identifyReplyLength) {
    fputs("Serial Port: Time Out.\n", stderr);
    return 0;
  }
  return checkIdentity(reply);
}

bool eraseProgramMemory(int port) {
  return eraseWith(port, eraseProgramPacket, true, "Program memory erased.\n",
                   "Fail to erase program memory.\n");
}

bool eraseProgramAndDataMemory(int port) {
  return eraseWith(port, eraseAllPacket, false, "Program and data memory erased.\n",
                   "Fail to erase program and data memory.\n");
}

bool writeProgramMemoryFrom(int port, int device, const std::uint8_t* image) {
  return writeMemoryFrom(port, commandWriteProgram, pmsize(device), image,
                         "\nProgram memory written.\n", "Fail to write program memory.\n");
}

bool writeDataMemoryFrom(int port, int device, const std::uint8_t* image) {
  return writeMemoryFrom(port, commandWriteData, dmsize(device), image, "\nData memory written.\n",
                         "Fail to write data memory.\n");
}
