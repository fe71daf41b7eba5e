// libvexacore: the exported C functions over a handle that owns a capture thread and a decode pipeline.
#include "libvexa.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "kvboxes.h"
#include "kvexthrd.h"
#include "kvlothrd.h"
#include "kvrowutils.h"

namespace {

/// Size of the version array: the text and its zero padding.
constexpr unsigned VERLEN = LIBVEXA_VERLEN;
/// Time sniffInit gives the capture thread to open the probe before it returns.
constexpr auto SNIFF_INIT_DELAY = std::chrono::seconds(2);

/// The version text: the library's name, the build date and time, zero padded to VERLEN bytes
/// (a longer text would not compile).
constexpr char VER[VERLEN] = "libvexacore DLL/SO," __DATE__ "," __TIME__;

/// Behind every export whose name ends in X: a returned text stays valid until the next X call.
std::string localStringBuffer;

const char* toLocalStringBuffer(std::string text) {
  localStringBuffer = std::move(text);
  return localStringBuffer.c_str();
}

/// One handle: the capture thread object first, then the decode pipeline (destroyed in reverse).
struct Tptrs {
  TloThread lo{TloMode::library};
  TexThread ex;
};

TloThread& loHandle(void* h) { return static_cast<Tptrs*>(h)->lo; }
TexThread& exHandle(void* h) { return static_cast<Tptrs*>(h)->ex; }

/// Copies text and its zero into buf when it fits; returns the size needed (0 when it cannot
/// be expressed in 32 bits).
uint32_t copyText(const std::string& text, char* buf, uint32_t len) {
  if (text.size() >= std::numeric_limits<uint32_t>::max()) return 0;
  const uint32_t n = static_cast<uint32_t>(text.size() + 1);
  if (buf && len >= n) std::memcpy(buf, text.c_str(), n);
  return n;
}

/// The row of flat entry ix, or null when ix is out of range or the entry holds no row. The
/// caller's copy of the list pointer keeps the row alive for the call.
const TrowPtr* rowAt(const std::shared_ptr<TlinRowVec>& lin, uint32_t ix) {
  if (!lin || ix >= lin->size()) return nullptr;
  const TrowPtr& row = (*lin)[ix].row;
  return row ? &row : nullptr;
}

}  // namespace

// Exceptions stop here: every export catches what the core may throw (allocation failures,
// thread creation) and returns its failure value.

extern "C" {

uint32_t version(char* buf, uint32_t len) {
  if (buf && len >= VERLEN) std::memcpy(buf, VER, VERLEN);
  return VERLEN;
}

const char* versionX(void) {
  try {
    return toLocalStringBuffer(VER);
  } catch (...) {
    return nullptr;
  }
}

void* sniffInit(void) {
  try {
    void* h = new Tptrs();
    std::this_thread::sleep_for(SNIFF_INIT_DELAY);
    return h;
  } catch (...) {
    return nullptr;
  }
}

void sniffEnd(void* h) {
  if (!h) return;
  try {
    delete static_cast<Tptrs*>(h);
  } catch (...) {
  }
}

int setConnect(void* h, int on) {
  try {
    return loHandle(h).setConnect(on != 0) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

void setRun(void* h, int on) { loHandle(h).setRun(on != 0); }
void setStop(void* h, int on) { loHandle(h).setStop(on != 0); }
int getRun(void* h) { return loHandle(h).getRun() ? 1 : 0; }
int getStop(void* h) { return loHandle(h).getStop() ? 1 : 0; }
int getCaptureDone(void* h) { return loHandle(h).consumeDone() ? 1 : 0; }
int getHardwareChanged(void* h) { return loHandle(h).consumeHardwareChanged() ? 1 : 0; }
void setNeeded(void* h, uint32_t bytes) { loHandle(h).setNeeded(bytes); }
uint64_t getCaptureCount(void* h) { return loHandle(h).getCaptureCount(); }
int getHardwareStatus(void* h) { return loHandle(h).getHardwareStatus(); }

uint32_t getSerial(void* h, char* buf, uint32_t len) {
  try {
    return copyText(loHandle(h).getSerial(), buf, len);
  } catch (...) {
    return 0;
  }
}

const char* getSerialX(void* h) {
  try {
    return toLocalStringBuffer(loHandle(h).getSerial());
  } catch (...) {
    return nullptr;
  }
}

int startDecode(void* h) {
  try {
    TloThread& lo = loHandle(h);
    TexThread& ex = exHandle(h);
    // Another thread of the client may request the next capture meanwhile: it starts only when
    // the decode has let go of the buffer.
    const auto hold = lo.holdRawData();
    ex.startDecode(lo.pRawData(), lo.getCaptureCount());
    return ex.getSucceeded() ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

int getDecodeDone(void* h) {
  const TexThread& ex = exHandle(h);
  return ex.getDone() && ex.getSucceeded() ? 1 : 0;
}

uint64_t getDecodedCount(void* h) { return exHandle(h).getDecodedCount(); }

uint32_t getPacketDataRowCount(void* h) {
  const size_t n = exHandle(h).pLinearRowVec()->size();
  return static_cast<uint32_t>(std::min<size_t>(n, std::numeric_limits<uint32_t>::max()));
}

uint32_t getPacketDataRow(void* h, uint32_t ix, char* buf, uint32_t len) {
  try {
    const auto lin = exHandle(h).pLinearRowVec();
    if (ix < lin->size()) return copyText(rowutils::toString((*lin)[ix].row), buf, len);
  } catch (...) {
  }
  if (buf && len >= 1) buf[0] = '\0';
  return 0;
}

const char* getPacketDataRowX(void* h, uint32_t ix) {
  try {
    const auto lin = exHandle(h).pLinearRowVec();
    if (ix >= lin->size()) return nullptr;
    return toLocalStringBuffer(rowutils::toString((*lin)[ix].row));
  } catch (...) {
    return nullptr;
  }
}

const char* getBoxStrX(void* h, uint32_t ix) {
  try {
    const auto lin = exHandle(h).pLinearRowVec();
    const TrowPtr* row = rowAt(lin, ix);
    if (!row) return nullptr;
    Tboxes boxes;
    return toLocalStringBuffer(boxes.getBoxesString(*row));
  } catch (...) {
    return nullptr;
  }
}

const void* linix2rowptr(void* h, uint32_t ix) {
  try {
    const TrowPtr* row = rowAt(exHandle(h).pLinearRowVec(), ix);
    return row ? row->get() : nullptr;
  } catch (...) {
    return nullptr;
  }
}

uint32_t sampleFileRead(void* h, const char* path) {
  if (!path) return 0;
  try {
    const size_t n = exHandle(h).sampleFileRead(path);
    return static_cast<uint32_t>(std::min<size_t>(n, std::numeric_limits<uint32_t>::max()));
  } catch (...) {
    return 0;
  }
}

void* loh(void* h) { return &loHandle(h); }
void* exh(void* h) { return &exHandle(h); }

}  // extern "C"
