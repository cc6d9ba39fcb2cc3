// Feeds arbitrary 25-byte identification replies to the verdict on them, and checks it against
// one worked out apart from the code under test.
#include <cstdint>
#include <cstring>
#include <vector>

#include "loader/loader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> reply(data, data + std::min<std::size_t>(size, identifyReplyLength));
  reply.resize(identifyReplyLength);
  int expected = 0;
  if (std::memcmp(reply.data(), "ADI", 3) == 0 && reply[11] == '2')
    expected = std::memcmp(reply.data() + 4, "814", 3) == 0   ? 1
               : std::memcmp(reply.data() + 4, "842", 3) == 0 ? 2
                                                              : 0;
  if (checkIdentityFrom(reply.data()) != expected)
    __builtin_trap();
  return 0;
}
