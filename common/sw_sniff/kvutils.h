// PID table, row-type names, text splitter and tick formatter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kvgroup.h"

/// Class of a PID and of a decoded packet.
enum L0eventType : int {
  L0_TOKEN = 0,
  L0_DATA = 1,
  L0_HANDSHAKE = 2,
  L0_SOF = 3,
  L0_SPECIAL = 4,
  L0_RESERVED = 5,
  L0_RESET = 6,
  L0_UNDEFINED = 7,
};

/// Kinds of grouped rows.
enum L1groupType : int {
  L1_RESET = 0,
  L1_SOF = 1,
  L1_SOFGROUP = 2,
  L1_CONTROL = 3,
  L1_IN = 4,
  L1_OUT = 5,
  L1_UNDEFINED = 6,
};

namespace utils {

struct TpidInfo {
  int type;                ///< an L0eventType
  int minSize;             ///< bytes including the PID byte
  bool fsLegal;            ///< may appear on a full-speed link
  const char* name;
  const char* printCode;   ///< whole PID byte, "0x" and two upper-case hex digits
  unsigned long bg;        ///< 0x00BBGGRR
  unsigned long fg;
};

extern const TpidInfo pidInfoTable[16];

int packetType(int pid);
int packetMinSize(int pid);
int pidIsFsLegal(int pid);
/// 0..15 the table's name, 16 "RESET", 17 "ERROR", 18 "UNDEFINED", else "Unknown (X)PID Type".
const char* pidName(unsigned pid);
const char* pidPrintCode(unsigned pid);
unsigned long pidFG(unsigned pid);
unsigned long pidBG(unsigned pid);

/// Appends the non-empty pieces of s cut at sep.
void split(const std::string& s, char sep, TstringVec& out);
TstringVec split(const std::string& s, char sep);

const char* transactionTypeName(TtrxType t);
const char* L0eventTypeName(L0eventType t);
const char* L1groupTypeName(L1groupType t);

/// Ticks as a time text with a unit: "1000 ns", "2.500 mus", "1.001 ms", "2 s".
std::string tickToFloatStr(uint64_t ticks, int ticksPerMicrosecond);

}  // namespace utils
