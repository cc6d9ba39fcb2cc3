#include "wire.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>

#include "serial/serial.h"

namespace {

// A 9600-baud 8N1 byte is ten bit times on the wire.
constexpr long long byteNanos = 10LL * nanosPerSecond / 9600LL;
constexpr long long eraseNanos = 20LL * nanosPerMilli;
constexpr long long programNanos = 2LL * nanosPerMilli;
// Far enough apart that a host reads a doubled answer as two, near enough to catch it waiting.
constexpr long long doubleGapNanos = 5LL * nanosPerMilli;
// Soon enough to be the first thing a host that has just opened the line receives.
constexpr long long staleNanos = 10LL * nanosPerMilli;

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

// Writes bytes to the host and logs them as a reply.
void sendTraced(Wire& wire, const std::vector<std::uint8_t>& bytes) {
  (void)!write(wire.master, bytes.data(), bytes.size());
  traceBytesInto(wire.trace, '<', bytes);
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

// Returns whether faults flood the line with noise.
bool makesNoise(const LineFaults& faults) {
  return faults.noiseByte >= 0;
}

// Returns whether exchange is the request that number names: the Loader packet of that number in
// its session, or for 0 an identification.
bool isRequestNumber(const ChipExchange& exchange, long number) {
  return !exchange.discarded && exchange.packet == number;
}

// Sends the signal of faults to the process whose number the file they name holds; says so when
// it could not.
void signalHost(const LineFaults& faults) {
  char text[32] = {};
  FILE* file = fopen(faults.signalPidPath, "r");
  long pid = 0;
  // In decimal, as a shell writes it, whatever follows the number.
  if (file != nullptr && fgets(text, sizeof text, file) != nullptr)
    (void)std::from_chars(text, text + sizeof text, pid);
  if (file != nullptr)
    fclose(file);
  // Never 0 or below, which signal a whole process group, nor 1, the system's first process.
  if (pid <= 1 || kill(static_cast<pid_t>(pid), faults.signalNumber) != 0)
    fprintf(stderr, "kilnload-sim: could not signal the process in %s\n", faults.signalPidPath);
}

// Sends the reply of exchange, if it has one and no noise drowns it, paced, held back and repeated
// as the wire says.
void sendReply(Wire& wire, const ChipExchange& exchange) {
  const LineFaults& faults = wire.faults;
  // A chip drowned in noise is heard no more than none at all.
  if (exchange.reply.empty() || makesNoise(faults))
    return;
  // An adapter holds the reply on the host's side after it has left the chip, so the line's
  // pacing goes on from then; a host that waits for each reply sends nothing meanwhile.
  long long at = replySentAt(wire, exchange) + wire.latencyNanos;
  if (isRequestNumber(exchange, faults.latePacket))
    at += faults.lateMillis * nanosPerMilli;
  for (int copy = exchange.packet >= faults.doubleFrom ? 2 : 1; copy > 0; --copy) {
    sleepUntil(at);
    sendTraced(wire, exchange.reply);
    at = monotonicNanos() + doubleGapNanos;
  }
}

// Logs the request of exchange and answers it; returns false, unanswered, when the wire drops the
// line at it.
bool serveExchange(Wire& wire, const ChipExchange& exchange) {
  traceBytesInto(wire.trace, exchange.discarded ? '?' : '>', exchange.request);
  if (isRequestNumber(exchange, wire.faults.hangUpPacket))
    return false;
  if (isRequestNumber(exchange, wire.faults.signalPacket))
    signalHost(wire.faults);
  sendReply(wire, exchange);
  return true;
}

}  // namespace

bool serveBytesFrom(Wire& wire, ChipState& chip, const std::uint8_t* bytes, std::size_t count) {
  if (wire.paced) {
    wire.receivedUntil =
        std::max(wire.receivedUntil, monotonicNanos()) + static_cast<long long>(count) * byteNanos;
  }
  std::vector<ChipExchange> exchanges;
  feedChipFrom(chip, bytes, count, exchanges);
  const bool lineUp =
      std::all_of(exchanges.begin(), exchanges.end(),
                  [&wire](const ChipExchange& e) { return serveExchange(wire, e); });
  if (wire.trace != nullptr)
    fflush(wire.trace);
  return lineUp;
}

void sendStaleByte(Wire& wire) {
  if (wire.faults.staleByte < 0)
    return;
  sleepUntil(monotonicNanos() + staleNanos);
  sendTraced(wire, {static_cast<std::uint8_t>(wire.faults.staleByte)});
  if (wire.trace != nullptr)
    fflush(wire.trace);
}

const timespec* noiseTimeLeft(const Wire& wire, timespec& left) {
  return makesNoise(wire.faults) ? timeLeftInto(left, wire.noiseAt) : nullptr;
}

void sendNoiseDue(Wire& wire) {
  const long long now = monotonicNanos();
  if (!makesNoise(wire.faults) || now < wire.noiseAt)
    return;
  const auto noise = static_cast<std::uint8_t>(wire.faults.noiseByte);
  (void)!write(wire.master, &noise, 1);
  wire.noiseAt = now + byteNanos;
}
