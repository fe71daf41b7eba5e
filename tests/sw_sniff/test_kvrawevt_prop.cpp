// Property tests of the packet decoder against the traffic encoder: random events and faults.
#include <gtest/gtest.h>

#include "kvrawevt.h"
#include "kvrowutils.h"
#include "usbenc.h"

namespace {

std::vector<std::string> decodeLines(const std::vector<uint8_t>& raw) {
  Tevents ev(raw);
  TrowVec rows;
  ev.getEvents(rows);
  std::vector<std::string> lines;
  lines.reserve(rows.size());
  for (const auto& r : rows)
    lines.push_back(rowutils::toString(r));
  return lines;
}

void checkSeed(uint64_t seed, size_t count, const usbenc::RandomOptions& opt) {
  auto capture = usbenc::encode(usbenc::randomEvents(seed, count, opt));
  const std::string diff = usbenc::compareRows(capture.expected, decodeLines(capture.stream));
  EXPECT_EQ(diff, "") << "seed " << seed;
}

}  // namespace

TEST(DecoderProperty, RandomEventsDecodeIntoTheRowsSent) {
  // Every PID with a row class, payloads of 0 to 1023 bytes, idle gaps of 1 tick to seconds, resets.
  usbenc::RandomOptions opt;
  for (uint64_t seed = 1; seed <= 5; ++seed)
    checkSeed(seed, 2500, opt);
}

TEST(DecoderProperty, PredictableFaultsKeepTheirRows) {
  usbenc::RandomOptions opt;
  opt.faultRate = 0.3;
  opt.maxPayload = 64;
  for (uint64_t seed = 100; seed < 110; ++seed)
    checkSeed(seed, 1000, opt);
}

TEST(DecoderProperty, OddPacketsAndUnpredictableFaultsNeverDesynchronise) {
  usbenc::RandomOptions opt;
  opt.faultRate = 0.2;
  opt.unpredictable = true;
  opt.oddPackets = true;
  opt.maxPayload = 64;
  for (uint64_t seed = 200; seed < 210; ++seed)
    checkSeed(seed, 1000, opt);
}

TEST(DecoderProperty, HidEnumerationDecodes) {
  usbenc::Bus bus;
  usbenc::Host host(bus);
  usbenc::enumerateHid(host, 5, 2);
  const auto& exp = bus.expected();
  auto lines = decodeLines(bus.stream());
  EXPECT_GT(lines.size(), 100u);
  EXPECT_EQ(usbenc::compareRows(exp, lines), "");
}
