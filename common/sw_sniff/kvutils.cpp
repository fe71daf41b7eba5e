// PID table, row-type names, text splitter and tick formatter.
#include "kvutils.h"

#include <cstdio>

namespace utils {

const TpidInfo pidInfoTable[16] = {
    {L0_RESERVED, 0, false, "RESERVED", "0xF0", 0xC1B6FF, 0x000000},
    {L0_TOKEN, 3, true, "OUT", "0xE1", 0xFF4081, 0xFFFFFF},
    {L0_HANDSHAKE, 1, true, "ACK", "0xD2", 0x00FFFF, 0x000000},
    {L0_DATA, 3, true, "DATA0", "0xC3", 0x8C9EFF, 0x000000},
    {L0_SPECIAL, 3, false, "PING", "0xB4", 0x00A5FF, 0xFFFFFF},
    {L0_SOF, 3, true, "SOF", "0xA5", 0x008000, 0xFFFFFF},
    {L0_HANDSHAKE, 1, false, "NYET", "0x96", 0xFF0000, 0xFFFFFF},
    {L0_DATA, 3, false, "DATA2", "0x87", 0x82004B, 0xFFFFFF},
    {L0_SPECIAL, 4, false, "SPLIT", "0x78", 0xEE82EE, 0xFFFFFF},
    {L0_TOKEN, 3, true, "IN", "0x69", 0x18FFFF, 0x000000},
    {L0_HANDSHAKE, 1, true, "NAK", "0x5A", 0xCBC0FF, 0x000000},
    {L0_DATA, 3, true, "DATA1", "0x4B", 0x90EE90, 0x000000},
    {L0_SPECIAL, 4, false, "ERR/PRE", "0x3C", 0xE6F5FD, 0x000000},
    {L0_TOKEN, 3, true, "SETUP", "0x2D", 0xEBCE87, 0x000000},
    {L0_HANDSHAKE, 1, true, "STALL", "0x1E", 0xD3D3D3, 0x000000},
    {L0_DATA, 3, false, "MDATA", "0x0F", 0x808000, 0x000000},
};

int packetType(int pid) { return pidInfoTable[pid & 0xF].type; }
int packetMinSize(int pid) { return pidInfoTable[pid & 0xF].minSize; }
int pidIsFsLegal(int pid) { return pidInfoTable[pid & 0xF].fsLegal ? 1 : 0; }

const char* pidName(unsigned pid) {
  if (pid < 16)
    return pidInfoTable[pid].name;
  switch (pid) {
    case 16: return "RESET";
    case 17: return "ERROR";
    case 18: return "UNDEFINED";
    default: return "Unknown (X)PID Type";
  }
}

const char* pidPrintCode(unsigned pid) { return pidInfoTable[pid & 0xF].printCode; }
unsigned long pidFG(unsigned pid) { return pidInfoTable[pid & 0xF].fg; }
unsigned long pidBG(unsigned pid) { return pidInfoTable[pid & 0xF].bg; }

void split(const std::string& s, char sep, TstringVec& out) {
  // Same pieces as reading with std::getline and the separator, without the stream's cost.
  size_t start = 0;
  while (start <= s.size()) {
    size_t end = s.find(sep, start);
    if (end == std::string::npos)
      end = s.size();
    if (end > start)
      out.emplace_back(s, start, end - start);
    start = end + 1;
  }
}

TstringVec split(const std::string& s, char sep) {
  TstringVec v;
  split(s, sep, v);
  return v;
}

const char* transactionTypeName(TtrxType t) {
  static const char* const names[] = {"SETUP", "IN", "OUT", "Undefined"};
  return (t >= 0 && t <= 3) ? names[t] : "Unknown Transaction Type";
}

const char* L0eventTypeName(L0eventType t) {
  static const char* const names[] = {"Token", "Data", "Handshake", "Sof", "Special", "Reserved", "Reset", "Undefined"};
  return (t >= 0 && t <= 7) ? names[t] : "Unknown L0 Event Type";
}

const char* L1groupTypeName(L1groupType t) {
  static const char* const names[] = {"Reset", "SOF", "SOFgroup", "Control", "In", "Out", "Undefined"};
  return (t >= 0 && t <= 6) ? names[t] : "Unknown L1 Group Type";
}

std::string tickToFloatStr(uint64_t ticks, int ticksPerMicrosecond) {
  if (ticksPerMicrosecond <= 0)
    ticksPerMicrosecond = 12;  // a rate of zero would divide by zero; fall back to full speed
  uint64_t v = ticks * 1000 / static_cast<uint64_t>(ticksPerMicrosecond);
  uint64_t f = 0;
  static const char* const units[] = {"ns", "mus", "ms", "s"};
  int unit = 0;
  while (unit < 3 && v > 1000) {
    f = v % 1000;
    v /= 1000;
    ++unit;
  }
  std::string s = std::to_string(v);
  if (f != 0) {
    char buf[8];
    std::snprintf(buf, sizeof buf, ".%03u", static_cast<unsigned>(f));
    s += buf;
  }
  s += ' ';
  s += units[unit];
  return s;
}

}  // namespace utils
