// Capture thread: opens and initialises the probe, watches it while idle and fills a raw buffer on request.
#include "kvlothrd.h"

#include <cassert>

TloThread::TloThread(TloMode m, const TloWaits& w) : mode(m), waits(w) {}

TloThread::~TloThread() = default;

bool TloThread::getRun() const {
  assert(mode == TloMode::library);
  return run.load(std::memory_order_acquire);
}

bool TloThread::getStop() const {
  assert(mode == TloMode::library);
  return stop.load(std::memory_order_acquire);
}

void TloThread::setNeeded(uint32_t n) { needed.store(n, std::memory_order_release); }

std::string TloThread::getSerial() const {
  std::lock_guard lock(serialLock);
  return serial;
}

bool TloThread::setConnect(bool) { return false; }
