#include "loader/loader.h"

#include <cstdio>
#include <cstring>

#include "serial/serial.h"

const DeviceEntry devs[4] = {
    {"", 0, 0},
    {"814", 0x2000, 0xA0},
    {"842", 0xF800, 0x1000},
    {"", 0, 0},
};

volatile std::sig_atomic_t stopSignal = 0;

namespace {

// The identification reply, as in "ADI 842 KS 2.3": the manufacturer's code, a space, the product
// code, and at loaderAt the loader's designation, whose second character is its version. Each
// verdict prints the reply cut at a fixed length: the first ten characters as the product id, the
// first eight as the device, the first fourteen when it is accepted.
constexpr const char* manufacturerCode = "ADI";
constexpr int manufacturerLength = 3;
constexpr int productAt = 4;
constexpr int loaderAt = 10;
constexpr int loaderVersionAt = loaderAt + 1;
constexpr char supportedLoaderVersion = '2';
constexpr int productIdEnd = 10;
constexpr int deviceNameEnd = 8;
constexpr int identityEnd = 14;

// Sends a request on an empty line: a byte that came before it (noise, an answer that came late)
// would otherwise be taken for its reply, and every later reply read one late.
int sendRequestFrom(int port, int length, const std::uint8_t* request) {
  clearInputBuffer(port);
  return writeSerialPortFrom(port, length, request);
}

// The 1-byte answer to a Loader packet, or -1 when none came within the time-out.
int awaitReply(int port) {
  std::uint8_t reply = 0;
  if (readSerialPortUpto(port, &reply, 1) != 1) {
    fputs("Serial Port: Time Out.\n", stderr);
    return -1;
  }
  return reply;
}

bool reportErase(int reply, const char* erased, const char* refused) {
  if (reply < 0)
    return false;
  if (reply == ACK) {
    fputs(erased, stdout);
    return true;
  }
  fputs(reply == NAK ? refused : "Unknown response.\n", stdout);
  return false;
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

}  // namespace

int checkSum(const std::uint8_t* data, int count) {
  unsigned sum = 0;
  for (int i = 0; i < count; ++i)
    sum += data[i];
  return static_cast<int>((256U - sum % 256U) % 256U);
}

int identifyDevice(const char* code) {
  for (int i = 1; devs[i].name[0] != '\0'; ++i) {
    if (std::strncmp(code, devs[i].name, 3) == 0)
      return i;
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
  if (std::memcmp(text, manufacturerCode, manufacturerLength) != 0) {
    text[productIdEnd] = '\0';
    printf("Not supported: Product id = %s\n", text);
    return 0;
  }
  const int index = identifyDevice(text + productAt);
  if (index == 0) {
    text[deviceNameEnd] = '\0';
    printf("%s is not supported.\n", text);
    return 0;
  }
  text[identityEnd] = '\0';
  if (text[loaderVersionAt] != supportedLoaderVersion) {
    printf("%s Loder is not supported.\n", text + loaderAt);
    return 0;
  }
  printf("OK: %s\n", text);
  return index;
}

int identify(int port) {
  // A request that did not go out shows as the time-out of its reply.
  (void)sendRequestFrom(port, sizeof identifyRequest, identifyRequest);
  std::uint8_t reply[identifyReplyLength] = {};
  if (readSerialPortUpto(port, reply, identifyReplyLength) < identifyReplyLength) {
    fputs("Serial Port: Time Out.\n", stderr);
    return 0;
  }
  return checkIdentity(reply);
}

bool eraseProgramMemory(int port) {
  if (sendRequestFrom(port, sizeof eraseProgramPacket, eraseProgramPacket) !=
      sizeof eraseProgramPacket) {
    fputs("Serial port wirte error.\n", stderr);
  }
  return reportErase(awaitReply(port), "Program memory erased.\n",
                     "Fail to erase program memory.\n");
}

bool eraseProgramAndDataMemory(int port) {
  // Unlike the program-memory erase, this one has never reported a short send: its reply, or the
  // time-out of it, says all there is.
  (void)sendRequestFrom(port, sizeof eraseAllPacket, eraseAllPacket);
  return reportErase(awaitReply(port), "Program and data memory erased.\n",
                     "Fail to erase program and data memory.\n");
}

int writeBufferFrom(int port, std::uint8_t command, int size, const std::uint8_t* image) {
  std::uint8_t packet[writePacketLength] = {};
  for (int address = 0; address < size; address += blockLength) {
    // The chip keeps whatever it held under an all-zero block: such blocks are never sent.
    if (isZeroBlock(image + address))
      continue;
    if (stopSignal != 0)
      return 0;
    fillWritePacketInto(packet, command, address, image + address);
    if (sendRequestFrom(port, writePacketLength, packet) != writePacketLength) {
      fputs("Serial write error.\n", stdout);
      return 0;
    }
    const int reply = awaitReply(port);
    if (reply < 0)
      return 0;
    if (reply != ACK) {
      fputs(reply == NAK ? "NAK recieved.\n" : "Unknown response.\n", stdout);
      return 0;
    }
    fputs(".", stdout);
    fflush(stdout);
  }
  return 1;
}

bool writeProgramMemoryFrom(int port, int device, const std::uint8_t* image) {
  const bool written = writeBufferFrom(port, commandWriteProgram, pmsize(device), image) == 1;
  fputs(written ? "\nProgram memory written.\n" : "Fail to write program memory.\n", stdout);
  return written;
}

bool writeDataMemoryFrom(int port, int device, const std::uint8_t* image) {
  const bool written = writeBufferFrom(port, commandWriteData, dmsize(device), image) == 1;
  fputs(written ? "\nData memory written.\n" : "Fail to write data memory.\n", stdout);
  return written;
}
