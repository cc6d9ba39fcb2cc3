// Feeds arbitrary 25-byte identification replies to the verdict on them, and checks it against
// one worked out apart from the code under test.
#include <cstdint>
#include <string>
#include <vector>

#include "loader/loader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> reply(data, data + std::min<std::size_t>(size, identifyReplyLength));
  reply.resize(identifyReplyLength);
  const std::string text(reply.begin(), reply.end()), product = text.substr(4, 3);
  const int expected = !text.starts_with("ADI") || text[11] != '2' ? 0
                       : product == "814"                          ? 1
                       : product == "842"                          ? 2
                                                                   : 0;
  if (checkIdentity(reply.data()) != expected)
    __builtin_trap();
  return 0;
}
