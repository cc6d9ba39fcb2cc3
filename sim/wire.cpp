#include "wire.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "serial/serial.h"

namespace {

// A 9600-baud 8N1 byte is ten bit times on the wire.
constexpr long long byteNanos = 10LL * nanosPerSecond / 9600LL;
constexpr long long eraseNanos = 20LL * nanosPerMilli;
constexpr long long programNanos = 2LL * nanosPerMilli;

void sleepUntil(long long nanos) {
  const timespec until = timespecOfNanos(nanos);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

// Logs bytes on one line after mark, unless there is no trace.
void traceBytesInto(FILE* trace, char mark, const std::vector<std::uint8_t>& bytes) {
  if (trace == nullptr)
    return;
  fputc(mark, trace);
  for (std::uint8_t b : bytes)
    fprintf(trace, " %02X", b);
  fputc('\n', trace);
}

// Returns when the reply to exchange has left the chip: at once on an unpaced line, else once the
// request and the chip's work are through and the reply has crossed the line.
long long replySentAt(Wire& wire, const ChipExchange& exchange) {
  if (!wire.paced)
    return monotonicNanos();
  long long done = wire.receivedUntil;
  if (exchange.work == ChipWork::erase)
    done += eraseNanos;
  if (exchange.work == ChipWork::program)
    done += programNanos;
  done += static_cast<long long>(exchange.reply.size()) * byteNanos;
  wire.receivedUntil = done;
  return done;
}

}  // namespace

void serveBytesFrom(Wire& wire, ChipState& chip, const std::uint8_t* bytes, std::size_t count) {
  if (wire.paced) {
    wire.receivedUntil =
        std::max(wire.receivedUntil, monotonicNanos()) + static_cast<long long>(count) * byteNanos;
  }
  std::vector<ChipExchange> exchanges;
  feedChipFrom(chip, bytes, count, exchanges);
  for (const ChipExchange& exchange : exchanges) {
    traceBytesInto(wire.trace, exchange.discarded ? '?' : '>', exchange.request);
    if (exchange.reply.empty())
      continue;
    // An adapter holds the reply on the host's side after it has left the chip, so the line's
    // pacing goes on from then; a host that waits for each reply sends nothing meanwhile.
    sleepUntil(replySentAt(wire, exchange) + wire.latencyNanos);
    (void)!write(wire.master, exchange.reply.data(), exchange.reply.size());
    traceBytesInto(wire.trace, '<', exchange.reply);
  }
  if (wire.trace != nullptr)
    fflush(wire.trace);
}
