// Feeds arbitrary bytes to the Intel HEX record reader as a file, checksums checked for inputs of
// even length, into an image of each memory size the device table holds. The bytes past each
// image, as far as any record could reach, are poisoned, so a store outside the image stops the
// run.
#include <sanitizer/asan_interface.h>

#include <cstdint>
#include <vector>

#include "hex/hex.h"
#include "loader/loader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t reach = 0xFFFF + 0xFF;
  for (const int memory : {pmsize(1), dmsize(1), pmsize(2), dmsize(2)}) {
    std::vector<std::uint8_t> image(std::size_t(memory) + reach);
    ASAN_POISON_MEMORY_REGION(image.data() + memory, reach);
    if (FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "r"); file != nullptr) {
      (void)readFromHexInto(file, memory, image.data(), size % 2 == 0);
      fclose(file);
    }
    ASAN_UNPOISON_MEMORY_REGION(image.data() + memory, reach);
  }
  return 0;
}
