// Decode pipeline object: owns the three views of a capture and decodes on a thread of its own.
#include "kvexthrd.h"

#include <exception>

TexThread::TexThread()
    : events(std::make_shared<TrowVec>()),
      roots(std::make_shared<TrowVec>()),
      lin(std::make_shared<TlinRowVec>()) {}

TexThread::~TexThread() = default;

void TexThread::threadFunc() {
  // The thread entry stops every exception: a decode that failed (out of memory) leaves done
  // false and the views as far as they got.
  try {
    TdataIO io;
    static const std::vector<uint8_t> noBytes;
    io.rawDataToEventVec(raw ? *raw : noBytes, events, [this](size_t pos) { setDecoded(pos); });
    io.eventVecToTreeRootVec(events, roots);
    io.treeRootVecToLinVec(roots, lin);
    done.store(true);
  } catch (...) {
  }
}

bool TexThread::startDecode(const std::vector<uint8_t>* rawBytes) {
  raw = rawBytes;
  events->clear();
  roots->clear();
  lin->clear();
  setDecoded(0);
  setDone(false);
  try {
    thread = new std::thread(&TexThread::threadFunc, this);
    thread->join();
  } catch (const std::exception&) {
    // The thread could not be started: nothing was decoded and done stays false.
  }
  delete thread;
  thread = nullptr;
  return done.load();
}

size_t TexThread::sampleFileRead(const std::string& path) {
  // A load that fails on the way (out of memory) gives 0 and changes nothing, like a file that
  // gives no rows.
  try {
    auto newLin = std::make_shared<TlinRowVec>();
    auto newRoots = std::make_shared<TrowVec>();
    TdataIO io;
    io.loadLinearFile(path, newRoots, newLin);
    if (newLin->empty()) return 0;
    lin.swap(newLin);
    roots.swap(newRoots);
    return lin->size();
  } catch (const std::exception&) {
    return 0;
  }
}
