// libFuzzer entry of one fuzz target, chosen at build time by KV_FUZZ_TARGET.
#include <cstdio>
#include <cstdlib>

#include "fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const kvfuzz::Ttarget* const target = kvfuzz::findTarget(KV_FUZZ_TARGET);
  if (!target) {
    std::fprintf(stderr, "no fuzz target named %s\n", KV_FUZZ_TARGET);
    std::abort();
  }
  const std::string fault = target->run(data, size);
  if (!fault.empty()) {
    // An abort makes libFuzzer keep the input as a crash artifact.
    std::fprintf(stderr, "FAULT in %s: %s\n", target->name, fault.c_str());
    std::abort();
  }
  return 0;
}
