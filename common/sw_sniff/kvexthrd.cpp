// Decode pipeline object: owns the three views of a capture and decodes on a thread of its own.
#include "kvexthrd.h"

#include <algorithm>
#include <exception>
#include <span>

TexThread::TexThread()
    : events(std::make_shared<TrowVec>()),
      roots(std::make_shared<TrowVec>()),
      lin(std::make_shared<TlinRowVec>()) {}

TexThread::~TexThread() = default;

void TexThread::threadFunc() {
  // The thread entry stops every exception: a decode that failed (out of memory) leaves
  // succeeded false and empty views. Done is raised after every run, so an owner waiting for it
  // is never left waiting.
  try {
    TdataIO io;
    // A capture buffer can hold older bytes beyond the capture: only the first rawCount are
    // decoded, read in place (a copy would double the memory of a capture near its size limit).
    std::span<const uint8_t> bytes;
    if (raw) bytes = std::span<const uint8_t>(raw->data(), std::min(rawCount, raw->size()));
    io.rawDataToEventVec(bytes, events, [this](size_t pos) { setDecoded(pos); });
    io.eventVecToTreeRootVec(events, roots);
    io.treeRootVecToLinVec(roots, lin);
    succeeded.store(true, std::memory_order_release);
  } catch (...) {
    // No half-made views: what the decode made is freed, the vectors' room included (the memory
    // that ran short goes back), in place for the holders of the view pointers.
    TrowVec().swap(*events);
    TrowVec().swap(*roots);
    TlinRowVec().swap(*lin);
  }
  done.store(true);
}

bool TexThread::startDecode(const std::vector<uint8_t>* rawBytes, size_t count) {
  raw = rawBytes;
  rawCount = count;
  events->clear();
  roots->clear();
  lin->clear();
  setDecoded(0);
  succeeded.store(false, std::memory_order_release);
  setDone(false);
  try {
    thread = new std::thread(&TexThread::threadFunc, this);
    thread->join();
  } catch (const std::exception&) {
    // The thread could not be started: nothing was decoded; the run has finished all the same.
    done.store(true);
  }
  delete thread;
  thread = nullptr;
  return done.load();
}

size_t TexThread::sampleFileRead(const std::string& path) {
  return TdataIO::swapInLinearFile(path, roots, lin);
}
