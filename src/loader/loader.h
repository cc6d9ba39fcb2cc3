// The chip's download loader: packets, identification, erase and memory write.
#pragma once

#include <cstdint>
#include <span>

// One row of the device table: the loader's three-character product code and memory sizes.
struct DeviceEntry {
  const char* name;
  int programSize;
  int dataSize;
};

// Row 0 stands for no device; the first later row with an empty name ends the table.
extern const DeviceEntry devs[4];

// Returns the rows of devs that name a part, in table order: those between row 0 and the end row.
[[nodiscard]] std::span<const DeviceEntry> knownDevices();

inline constexpr std::uint8_t ACK = 0x06;
inline constexpr std::uint8_t NAK = 0x07;

// The identification request is sent as it stands: it is not a Loader packet.
inline constexpr std::uint8_t identifyRequest[4] = {0x21, 0x5A, 0x00, 0xA6};
inline constexpr int identifyReplyLength = 25;

// The identification reply, as in "ADI 842 KS 2.3": the manufacturer's code, a space, the product
// code at productAt, and at loaderAt the loader's designation, whose second character is its
// version.
inline constexpr char manufacturerCode[] = "ADI";
inline constexpr int productAt = 4;
inline constexpr int loaderAt = 10;
inline constexpr int loaderVersionAt = loaderAt + 1;
inline constexpr char supportedLoaderVersion = '2';

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

// Returns the byte that makes the count bytes at data plus itself add up to 0 modulo 256.
[[nodiscard]] int checkSum(const std::uint8_t* data, int count);

// Returns the row of devs whose name equals the first three characters of code, 0 when none.
[[nodiscard]] int identifyDevice(const char* code);

// Returns the program memory size of row index of devs; index is not checked.
[[nodiscard]] int pmsize(int index);

// Returns the data memory size of row index of devs; index is not checked.
[[nodiscard]] int dmsize(int index);

// Judges a 25-byte identification reply and prints the verdict, every byte of the reply outside
// printable ASCII shown as \xHH; returns the device index, or 0 after a message when the chip is
// not one this tool supports.
[[nodiscard]] int checkIdentity(const std::uint8_t* reply);

// Waits for the line to fall silent (a little while, bounded), then asks the chip on port who it is
// and prints the verdict; returns the device index, or 0 after a message when it is silent or not
// supported.
[[nodiscard]] int identify(int port);

// Every action below ends only once the line has been silent for a while after its last answer:
// a byte that comes then, or ahead of a later request of the same action, answers no request,
// so the exchange went out of step and the action fails after "Unexpected response.".

// Erases program memory and prints the loader's answer; returns whether it was acknowledged.
[[nodiscard]] bool eraseProgramMemory(int port);

// Erases program and data memory and prints the loader's answer; returns whether it was
// acknowledged.
[[nodiscard]] bool eraseProgramAndDataMemory(int port);

// Writes every 16-byte block of image that is not all zero to the program memory of device,
// printing a "." per acknowledged packet, then the verdict; returns whether all were acknowledged.
// A stop signal ends it, as a failure, before the next packet.
[[nodiscard]] bool writeProgramMemoryFrom(int port, int device, const std::uint8_t* image);

// Writes image to the data memory of device as writeProgramMemoryFrom does to program memory.
[[nodiscard]] bool writeDataMemoryFrom(int port, int device, const std::uint8_t* image);
