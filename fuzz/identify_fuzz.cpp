// Feeds arbitrary 25-byte identification replies to the verdict on them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_quiet.h"
#include "loader/loader.h"

namespace {

// Returns the device row the reply names when it is one the tool supports, 0 otherwise, worked
// out apart from the code under test.
int expectedDeviceOf(const std::uint8_t* reply) {
  if (std::memcmp(reply, "ADI", 3) != 0 || reply[11] != '2')
    return 0;
  for (int row = 1; devs[row].name[0] != '\0'; ++row) {
    if (std::memcmp(reply + 4, devs[row].name, 3) == 0)
      return row;
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  quietOutputOf(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Exactly the reply length on the heap, so ASan sees any read past it; short inputs are padded
  // with zero bytes, long ones cut.
  const auto length = static_cast<std::size_t>(identifyReplyLength);
  const auto reply = std::make_unique<std::uint8_t[]>(length);
  std::copy_n(data, std::min(size, length), reply.get());
  if (checkIdentityFrom(reply.get()) != expectedDeviceOf(reply.get()))
    __builtin_trap();
  return 0;
}
