// The chip's download loader: packets, identification, erase and memory write.
#pragma once

#include <csignal>
#include <cstdint>

// One row of the device table: the loader's three-character product code and memory sizes.
struct DeviceEntry {
  const char* name;
  int programSize;
  int dataSize;
};

// Row 0 stands for no device; the first later row with an empty name ends the table.
extern const DeviceEntry devs[4];

inline constexpr std::uint8_t ACK = 0x06;
inline constexpr std::uint8_t NAK = 0x07;

// The identification request is sent as it stands: it is not a Loader packet.
inline constexpr std::uint8_t identifyRequest[4] = {0x21, 0x5A, 0x00, 0xA6};
inline constexpr int identifyReplyLength = 25;

// Loader packet: 07 0E, N, command, N-1 payload bytes, checksum over N through the payload.
inline constexpr std::uint8_t packetStart[2] = {0x07, 0x0E};
inline constexpr int packetHeaderLength = 3;  // start bytes and N
inline constexpr std::uint8_t commandEraseProgram = 'C';
inline constexpr std::uint8_t commandEraseAll = 'A';
inline constexpr std::uint8_t commandWriteProgram = 'W';
inline constexpr std::uint8_t commandWriteData = 'E';
inline constexpr std::uint8_t eraseProgramPacket[5] = {0x07, 0x0E, 0x01, 'C', 0xBC};
inline constexpr std::uint8_t eraseAllPacket[5] = {0x07, 0x0E, 0x01, 'A', 0xBE};

// A write packet carries a 3-byte address, most significant first, and one 16-byte block.
inline constexpr int blockLength = 16;
inline constexpr int writePayloadLength = 1 + 3 + blockLength;    // N = 20
inline constexpr int writePacketLength = writePayloadLength + 4;  // 24
inline constexpr int writeAddressOffset = 4;
inline constexpr int writeDataOffset = writeAddressOffset + 3;

// The stop signal that has come, 0 while none has. A write sends no packet after it, so that a
// run ends between exchanges and the chip's answer to the last packet is not left on the line.
extern volatile std::sig_atomic_t stopSignal;

// Returns the byte that makes the count bytes at data plus itself add up to 0 modulo 256.
[[nodiscard]] int checkSum(const std::uint8_t* data, int count);

// Returns the row of devs whose name equals the first three characters of code, 0 when none.
[[nodiscard]] int identifyDevice(const char* code);

// Returns the program memory size of row index of devs; index is not checked.
[[nodiscard]] int pmsize(int index);

// Returns the data memory size of row index of devs; index is not checked.
[[nodiscard]] int dmsize(int index);

// Judges a 25-byte identification reply and prints the verdict; returns the device index, or 0
// after a message when the chip is not one this tool supports.
[[nodiscard]] int checkIdentity(const std::uint8_t* reply);

// Asks the chip on port who it is and prints the verdict; returns the device index, or 0 after a
// message when it is silent or not supported.
[[nodiscard]] int identify(int port);

// Erases program memory and prints the loader's answer; returns whether it was acknowledged.
[[nodiscard]] bool eraseProgramMemory(int port);

// Erases program and data memory and prints the loader's answer; returns whether it was
// acknowledged.
[[nodiscard]] bool eraseProgramAndDataMemory(int port);

// Sends every 16-byte block of image that is not all zero under command, printing a "." per
// acknowledged packet; returns 1 when all were acknowledged, 0 after a message at the first
// failure, or silently when stopSignal has come before a packet still to send.
[[nodiscard]] int writeBufferFrom(int port, std::uint8_t command, int size,
                                  const std::uint8_t* image);

// Writes image to the program memory of device and prints the verdict; returns whether it was
// written.
[[nodiscard]] bool writeProgramMemoryFrom(int port, int device, const std::uint8_t* image);

// Writes image to the data memory of device and prints the verdict; returns whether it was
// written.
[[nodiscard]] bool writeDataMemoryFrom(int port, int device, const std::uint8_t* image);
