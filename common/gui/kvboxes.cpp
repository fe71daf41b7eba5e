// Display boxes: one row as a line of coloured boxes, and that line printed as a box string.
#include "kvboxes.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "kvutils.h"

namespace {

/// Pixels of indent per tree level.
constexpr int ROW_INDENT_STEP = 16;
/// Gap before a PID box at level 0, before the idle box and before a SOF count box.
constexpr int BOX_GAP = 10;

constexpr int LEFT_BOX_WIDTH = 14;
constexpr int RESET_BOX_WIDTH = 28;
constexpr int IDLE_BOX_WIDTH = 8;
constexpr int SOFGROUP_BOX_WIDTH = 21;
constexpr int TOGGLE_BOX_WIDTH = 2;
constexpr int SIMPLE_BOX_WIDTH = 7;
constexpr int FIT_TO_TEXT = -1;

/// Bytes shown in a data preview; a space more after the first half.
constexpr size_t PREVIEW_BYTES = 8;
constexpr size_t PREVIEW_HALF = 4;

constexpr size_t SETUP_SIZE = 8;

const char* const REQ_NAME[] = {
    "Get Status",     "Clear Feature", "Reserved",      "Set Feature",   "Reserved",
    "Set Address",    "Get Descriptor", "Set Descriptor", "Get Config",   "Set Config",
    "Get Interface",  "Set Interface", "Sync Frame",
};
constexpr unsigned NUM_REQ_NAMES = 13;
static_assert(sizeof(REQ_NAME) / sizeof(REQ_NAME[0]) == NUM_REQ_NAMES);

const char* setupReqestName(int bRequest) {
  if (static_cast<unsigned>(bRequest) > NUM_REQ_NAMES - 1) return "Non-standard";
  return REQ_NAME[bRequest];
}

/// level × 16 + 10, kept inside int for the absurd depths a damaged sample file can carry.
int pidGap(int level) {
  long long gap = static_cast<long long>(level) * ROW_INDENT_STEP + BOX_GAP;
  return static_cast<int>(std::clamp<long long>(gap, INT_MIN, INT_MAX));
}

/// Tree depths are unsigned; a depth beyond int range is treated as the largest level.
int depthLevel(uint32_t depth) {
  return depth > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(depth);
}

std::string hex(unsigned value, const char* format) {
  char buf[24];
  std::snprintf(buf, sizeof buf, format, value);
  return buf;
}

}  // namespace

void Tboxes::init(bool) { boxes.clear(); }

const std::vector<TdisplayBox>& Tboxes::getBoxes(const TrowPtr& row) {
  init(false);
  genBoxes(row, false, 1);
  return boxes;
}

TdisplayBox& Tboxes::addBox(int gap, int width, int kind) {
  TdisplayBox& box = boxes.emplace_back();
  box.gap = gap;
  box.width = width;
  box.kind = kind;
  box.bottom.fg = FG_BOT;
  box.bottom.bg = BG_BOT;
  return box;
}

// ---- box makers ----

void Tboxes::genLeftBox(unsigned long fg, unsigned long bg, const std::string& top,
                        const std::string& bottom) {
  TdisplayBox& box = addBox(0, LEFT_BOX_WIDTH, 1);
  box.top = {top, fg, bg};
  box.bottom = {bottom, fg, bg};
}

void Tboxes::genLeftBox(unsigned long fg, unsigned long bg, const std::string& top, unsigned n) {
  genLeftBox(fg, bg, top, std::to_string(n));
}

void Tboxes::genLeftPacketBox(unsigned ordinal, unsigned long strt) {
  genLeftBox(FG_PACKET, BG_PACKET, "Packet " + std::to_string(ordinal), tickToStr(strt, false));
}

void Tboxes::genResetBox(unsigned long duration, unsigned long strt) {
  TdisplayBox& box = addBox(0, RESET_BOX_WIDTH, 1);
  box.top = {"Reset for " + tickToStr(duration, false), FG_RESET, BG_RESET};
  box.bottom = {tickToStr(strt, false), FG_RESET, BG_RESET};
}

void Tboxes::genPidBox(int level, int pid) {
  unsigned p = static_cast<unsigned>(pid);
  TdisplayBox& box = addBox(pidGap(level), SIMPLE_BOX_WIDTH, 1);
  box.top = {utils::pidName(p), utils::pidFG(p), utils::pidBG(p)};
  box.bottom.text = utils::pidPrintCode(p);
}

void Tboxes::genIdleBox(unsigned idleTicks) {
  TdisplayBox& box = addBox(BOX_GAP, IDLE_BOX_WIDTH, 1);
  box.top = {"Idle", FG_IDLE, BG_IDLE};
  box.bottom.text = std::to_string(idleTicks);
}

void Tboxes::genSimpleBox(const char* name, unsigned long fg, unsigned long bg, int value) {
  TdisplayBox& box = addBox(0, SIMPLE_BOX_WIDTH, 1);
  box.top = {name, fg, bg};
  box.bottom.text = std::to_string(value);
}

void Tboxes::genFrameBox(int frame) { genSimpleBox("Frame", FG_FRAME, BG_FRAME, frame); }
void Tboxes::genAddrBox(int addr) { genSimpleBox("ADDR", FG_ADDR, BG_ADDR, addr); }
void Tboxes::genEndpBox(int endp) { genSimpleBox("ENDP", FG_ENDP, BG_ENDP, endp); }

void Tboxes::genSimpleVarBox(const char* name, unsigned long fg, unsigned long bg,
                             const char* text, int width, int gap) {
  TdisplayBox& box = addBox(gap, width, 1);
  box.top = {name, fg, bg};
  box.bottom.text = text;
}

void Tboxes::genDataToggleBox(int pid, bool first) {
  TdisplayBox& box = addBox(first ? BOX_GAP : 0, TOGGLE_BOX_WIDTH, 1);
  box.top = {"T", FG_DATA_TOG, BG_DATA_TOG};
  box.bottom.text = pid == PID_DATA2 ? "2" : pid == PID_DATA1 ? "1" : "0";
}

void Tboxes::genDataBox(const std::string& top, const std::string& bottom) {
  TdisplayBox& box = addBox(0, FIT_TO_TEXT, 1);
  box.top = {top, FG_DATA, BG_DATA};
  box.bottom.text = bottom;
}

void Tboxes::genDataBox(const std::vector<uint8_t>& bytes) {
  const size_t n = bytes.size();
  std::string top = "DATA";
  if (n > 0) top += " (" + std::to_string(n) + " bytes)";
  std::string bottom;
  const size_t shown = std::min(PREVIEW_BYTES, n);
  for (size_t i = 0; i < shown; ++i) {
    bottom += hex(bytes[i], "%02x");
    bottom += ' ';
    if (i + 1 == PREVIEW_HALF) bottom += ' ';
  }
  if (n > PREVIEW_BYTES) bottom += "  ...";
  genDataBox(top, bottom);
}

void Tboxes::genCrcBox(const char* name, const char* value, bool ok) {
  TdisplayBox& box = addBox(0, SIMPLE_BOX_WIDTH, 1);
  box.top = {name, ok ? FG_CRC_OK : FG_CRC_FAIL, ok ? BG_CRC_OK : BG_CRC_FAIL};
  box.bottom.text = value;
}

void Tboxes::genCrc5Box(int crc, bool ok) {
  genCrcBox("CRC5", hex(static_cast<unsigned>(crc), "0x%02x").c_str(), ok);
}

void Tboxes::genCrc16Box(int crc, bool ok) {
  genCrcBox("CRC16", hex(static_cast<unsigned>(crc), "0x%04x").c_str(), ok);
}

void Tboxes::genSofGroupBox(const std::string& text) {
  TdisplayBox& box = addBox(BOX_GAP, SOFGROUP_BOX_WIDTH, 0);
  box.top = {text, FG_SOFGROUP, BG_SOFGROUP};
  box.bottom = Tboxlet{};  // a one-line box leaves its lower line at the defaults
}

// ---- rows ----

void Tboxes::genBoxes(const TrowPtr& row, bool nested, int level) {
  if (!row) return;
  switch (row->kind) {
    case ROW_RESET: {
      auto r = std::dynamic_pointer_cast<Treset>(row);
      if (!r) return;
      genResetBox(r->duration, r->strt);
      genIdleBox(r->idleTicks);
      return;
    }
    case ROW_SOF: {
      auto s = std::dynamic_pointer_cast<Tsof>(row);
      if (!s) return;
      genLeftPacketBox(s->ordinal, s->strt);
      genPidBox(depthLevel(s->depth), PID_SOF);  // whatever pid the row holds
      genFrameBox(static_cast<int>(s->frame));
      genCrc5Box(static_cast<int>(s->crc5), s->crcOK);
      genIdleBox(s->idleTicks);
      return;
    }
    case ROW_TOKEN: {
      auto t = std::dynamic_pointer_cast<Ttoken>(row);
      if (!t) return;
      if (nested) {
        genPidBox(level, t->pid);
        genAddrBox(static_cast<int>(t->addr));
        genEndpBox(static_cast<int>(t->endp));
        return;
      }
      genLeftPacketBox(t->ordinal, t->strt);
      genPidBox(depthLevel(t->depth), t->pid);
      genAddrBox(static_cast<int>(t->addr));
      genEndpBox(static_cast<int>(t->endp));
      genCrc5Box(static_cast<int>(t->crc5), t->crcOK);
      genIdleBox(t->idleTicks);
      return;
    }
    case ROW_DATA: {
      auto d = std::dynamic_pointer_cast<Tdata>(row);
      if (!d) return;
      if (nested) {
        genPidBox(0, d->pid);
        genDataToggleBox(d->pid, false);
        genDataBox(d->data);
        return;
      }
      genLeftPacketBox(d->ordinal, d->strt);
      genPidBox(depthLevel(d->depth), d->pid);
      genDataToggleBox(d->pid, false);
      genDataBox(d->data);
      genCrc16Box(d->crc16, d->crcOK);
      genIdleBox(d->idleTicks);
      return;
    }
    case ROW_HANDSHAKE: {
      auto h = std::dynamic_pointer_cast<Thandshake>(row);
      if (!h) return;
      if (nested) {
        genPidBox(0, h->pid);
        return;
      }
      genLeftPacketBox(h->ordinal, h->strt);
      genPidBox(depthLevel(h->depth), h->pid);
      genIdleBox(h->idleTicks);
      return;
    }
    case ROW_SOFGROUP: {
      auto g = std::dynamic_pointer_cast<TsofGroup>(row);
      if (!g) return;
      std::string range;
      if (!g->children.empty()) {
        const TrowPtr& first = g->children.front();
        const TrowPtr& last = g->children.back();
        if (std::dynamic_pointer_cast<Tsof>(first)) range += std::to_string(first->ordinal);
        range += " .. ";
        if (std::dynamic_pointer_cast<Tsof>(last)) range += std::to_string(last->ordinal);
      }
      genLeftBox(FG_PACKET, BG_PACKET, "Packets", range);
      genSofGroupBox(std::to_string(g->children.size()) + " SOFs");
      return;
    }
    case ROW_TRANSAX: {
      auto t = std::dynamic_pointer_cast<Ttransax>(row);
      if (!t) return;
      genLeftBox(FG_TRANSACTION, BG_TRANSACTION, "Transaction", t->ordinal);
      for (const TrowPtr& child : t->children) {
        if (!child) continue;
        switch (child->kind) {
          case ROW_TOKEN:
            genBoxes(child, true, depthLevel(t->depth));
            break;
          case ROW_DATA:
            if (t->subType == TRX_SETUP) {
              if (auto d = std::dynamic_pointer_cast<Tdata>(child)) genSetupBoxes(*d);
            } else {
              genBoxes(child, true, 1);
            }
            break;
          case ROW_HANDSHAKE:
            genBoxes(child, true, 1);
            break;
          default:
            // Only a damaged sample file puts other rows under a transaction: they add nothing.
            break;
        }
      }
      return;
    }
    case ROW_TRANSFER: {
      auto t = std::dynamic_pointer_cast<Ttransfer>(row);
      if (!t) return;
      genLeftBox(FG_TRANSFER, BG_TRANSFER, "Control Transfer", t->ordinal);
      genTransferSummary(*t);
      return;
    }
    default:
      return;
  }
}

void Tboxes::genSetupBoxes(Tdata& setupData) {
  const std::vector<uint8_t>& b = setupData.data;
  if (b.size() != SETUP_SIZE) return;
  static const char* const TYPES[] = {"S", "C", "V", "R"};
  static const char* const RECIPIENTS[] = {"D", "I", "E", "O"};
  const unsigned recipient = b[0] & 0x1fu;

  genDataToggleBox(setupData.pid, true);
  genSimpleVarBox("Dir", FG_DIR, BG_DIR, (b[0] & 0x80) ? "DtoH" : "HtoD", 4, 0);
  genSimpleVarBox("Typ", FG_TYP, BG_TYP, TYPES[(b[0] >> 5) & 3], 3, 0);
  genSimpleVarBox("R", FG_RCP, BG_RCP, recipient <= 3 ? RECIPIENTS[recipient] : "?", 2, 0);
  genSimpleVarBox("bRequest", FG_REQ, BG_REQ, std::to_string(b[1]).c_str(), FIT_TO_TEXT, 0);
  genSimpleVarBox("wValue", FG_VAL, BG_VAL, hex(b[2] + 256u * b[3], "0x%04x").c_str(),
                  FIT_TO_TEXT, 0);
  genSimpleVarBox("wIndex", FG_IDX, BG_IDX, hex(b[4] + 256u * b[5], "0x%04x").c_str(),
                  FIT_TO_TEXT, 0);
  genSimpleVarBox("wLength", FG_LEN, BG_LEN, std::to_string(b[6] + 256u * b[7]).c_str(),
                  FIT_TO_TEXT, 0);
}

void Tboxes::genTransferSummary(Ttransfer& transfer) {
  auto setup = transfer.findSetupTransax();
  if (!setup) return;
  auto token = setup->findTokenPkt();
  auto data = setup->findDataPkt();
  if (!token || !data || data->data.size() != SETUP_SIZE) return;

  genSimpleVarBox("bRequest", FG_REQ, BG_REQ, setupReqestName(data->data[1]), FIT_TO_TEXT,
                  BOX_GAP);
  genAddrBox(static_cast<int>(token->addr));
  genEndpBox(static_cast<int>(token->endp));
  genDataBox(transfer.findData());
  // findData is what sets statusDone, so it is read only now.
  genSimpleVarBox("Success", FG_SUCCESS, BG_SUCCESS, transfer.statusDone ? "OK" : "Fail",
                  FIT_TO_TEXT, 0);
}

// ---- texts ----

std::string Tboxes::tickToStr(unsigned long ticks, bool raw) {
  if (raw) return std::to_string(ticks);
  // 128-bit so that even the largest tick count gives its true nanosecond value.
  unsigned __int128 ns = static_cast<unsigned __int128>(ticks) * 1000u / 12u;
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(ns % 10u)));
    ns /= 10u;
  } while (ns != 0);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) out += ' ';
    out += digits[i];
  }
  return out + " ns";
}

namespace {

// The box string is built by appending in place: a row's string is made for every row a
// library client reads, and formatted output or temporary strings would dominate its cost.
/// Characters of a typical two-line box in the box string, to size the string once.
constexpr size_t TYPICAL_BOX_TEXT = 80;

void appendHexRGB(std::string& out, unsigned long colour) {
  static constexpr char HEX[] = "0123456789abcdef";
  out += "0xff";
  for (int shift = 0; shift <= 16; shift += 8) {
    const unsigned byte = static_cast<unsigned>((colour >> shift) & 0xff);
    out += HEX[byte >> 4];
    out += HEX[byte & 0xf];
  }
}

void appendBoxlet(std::string& out, const Tboxlet& b) {
  out += "|s";
  appendHexRGB(out, b.fg);
  out += ',';
  appendHexRGB(out, b.bg);
  out += ',';
  out += b.text;
}

void appendBoxHead(std::string& out, int gap, int width, const char* lines) {
  out += 'g';
  out += std::to_string(gap);
  out += ",w";
  out += std::to_string(width);
  out += lines;
}

}  // namespace

std::string Tboxes::hexRGB(unsigned long colour) {
  std::string out;
  appendHexRGB(out, colour);
  return out;
}

std::string Tboxes::getBoxesString(const TrowPtr& row) {
  const std::vector<TdisplayBox> list = getBoxes(row);
  std::string out;
  out.reserve(list.size() * TYPICAL_BOX_TEXT + 1);
  for (const TdisplayBox& box : list) {
    if (box.kind == 0) {
      appendBoxHead(out, box.gap, box.width, ",t1");
      appendBoxlet(out, box.top);
    } else if (box.kind == 1) {
      int w = box.width;
      if (w < 0) w = -static_cast<int>(std::max(box.top.text.size(), box.bottom.text.size()));
      appendBoxHead(out, box.gap, w, ",t2");
      appendBoxlet(out, box.top);
      appendBoxlet(out, box.bottom);
    }
    out += ';';
  }
  out += '\n';
  return out;
}
