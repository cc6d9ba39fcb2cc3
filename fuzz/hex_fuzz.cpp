// Feeds arbitrary bytes to the Intel HEX record reader as a file, against an image of each
// memory size the device table holds.
#include <sanitizer/asan_interface.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "fuzz_quiet.h"
#include "hex/hex.h"
#include "loader/loader.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KILNLOAD_FUZZ_ASAN 1
#endif
#endif

namespace {

// A record reaches at most a 4-digit load address plus a 2-digit byte count past the image start.
constexpr std::size_t farthestReach = 0xFFFF + 0xFF;
constexpr std::uint8_t guardByte = 0xA5;

// An image followed by every byte a record could reach beyond it. Under ASan that tail is
// poisoned, so a store there stops the run at once, however far it lands from the image end;
// elsewhere it holds guardByte and is checked after each run.
struct GuardedImage {
  int size = 0;
  std::unique_ptr<std::uint8_t[]> bytes;
};

GuardedImage images[4];

GuardedImage makeGuardedImage(int size) {
  const auto imageLength = static_cast<std::size_t>(size);
  GuardedImage image{size, std::make_unique<std::uint8_t[]>(imageLength + farthestReach)};
  for (std::size_t i = imageLength; i < imageLength + farthestReach; ++i)
    image.bytes[i] = guardByte;
  ASAN_POISON_MEMORY_REGION(image.bytes.get() + imageLength, farthestReach);
  return image;
}

void checkGuard([[maybe_unused]] const GuardedImage& image) {
#if !defined(KILNLOAD_FUZZ_ASAN)
  const auto imageLength = static_cast<std::size_t>(image.size);
  for (std::size_t i = imageLength; i < imageLength + farthestReach; ++i) {
    if (image.bytes[i] != guardByte)
      __builtin_trap();
  }
#endif
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  quietOutputOf(argc, argv);
  for (int row = 1; row <= 2; ++row) {
    images[2 * row - 2] = makeGuardedImage(pmsize(row));
    images[2 * row - 1] = makeGuardedImage(dmsize(row));
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The stream only reads the bytes; fmemopen takes them as void* whatever the mode.
  FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
  if (file == nullptr)
    return 0;
  for (const GuardedImage& image : images) {
    rewind(file);
    const int result = readFromHexInto(file, image.size, image.bytes.get());
    if (result != 0 && result != -1)
      __builtin_trap();
    checkGuard(image);
  }
  fclose(file);
  return 0;
}
