// Display boxes: one row as a line of coloured boxes, and that line printed as a box string.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kvdisplcolours.h"
#include "kvgroup.h"

/// One text line of a box.
struct Tboxlet {
  std::string text;
  unsigned long fg = WHITE;   ///< text colour, 0x00BBGGRR
  unsigned long bg = PURPLE;  ///< fill colour, 0x00BBGGRR
};

/// One box of a row line.
struct TdisplayBox {
  int gap = 0;    ///< empty pixels before the box
  int width = 7;  ///< in widths of "X"; negative: as wide as the longer text plus a margin
  int kind = 1;   ///< 0 = one-line box (top only), 1 = two-line box (top over bottom)
  Tboxlet top;
  Tboxlet bottom;
};

/// Builds the boxes of one row. Pure data: no font, size or drawing call. One instance serves
/// one thread; every request empties and refills `boxes`.
class Tboxes {
 public:
  Tboxes() = default;
  ~Tboxes() = default;

  /// Empties the list; the flag is accepted and not used.
  void init(bool);
  /// The boxes of a row; valid and unchanged until the next request on this object.
  const std::vector<TdisplayBox>& getBoxes(const TrowPtr& row);
  /// The boxes of a row as one text line ending in "\n".
  std::string getBoxesString(const TrowPtr& row);

  /// Appends the boxes of one row; nested is true for the children of a transaction, whose
  /// token PID box is indented by level.
  void genBoxes(const TrowPtr& row, bool nested, int level);
  /// Appends the boxes spelling out an 8-byte SETUP payload; any other length appends nothing.
  void genSetupBoxes(Tdata& setupData);
  /// Appends the request name, address, endpoint, data stage and outcome of a control transfer
  /// (nothing when the transfer has no complete SETUP transaction).
  void genTransferSummary(Ttransfer& transfer);

  // Box makers: each appends exactly one box.
  void genLeftBox(unsigned long fg, unsigned long bg, const std::string& top,
                  const std::string& bottom);
  void genLeftBox(unsigned long fg, unsigned long bg, const std::string& top, unsigned n);
  void genLeftPacketBox(unsigned ordinal, unsigned long strt);
  void genResetBox(unsigned long duration, unsigned long strt);
  void genPidBox(int level, int pid);
  void genIdleBox(unsigned idleTicks);
  void genSimpleBox(const char* name, unsigned long fg, unsigned long bg, int value);
  void genFrameBox(int frame);
  void genAddrBox(int addr);
  void genEndpBox(int endp);
  void genSimpleVarBox(const char* name, unsigned long fg, unsigned long bg, const char* text,
                       int width, int gap);
  void genDataToggleBox(int pid, bool first);
  void genDataBox(const std::string& top, const std::string& bottom);
  void genDataBox(const std::vector<uint8_t>& bytes);
  void genCrcBox(const char* name, const char* value, bool ok);
  void genCrc5Box(int crc, bool ok);
  void genCrc16Box(int crc, bool ok);
  void genSofGroupBox(const std::string& text);

  /// Ticks (1/12 us) as text: raw gives the plain number, otherwise nanoseconds in groups of
  /// three digits and " ns" ("1 000 ns").
  static std::string tickToStr(unsigned long ticks, bool raw);
  /// A 0x00BBGGRR colour as "0xffRRGGBB".
  static std::string hexRGB(unsigned long colour);

  std::vector<TdisplayBox> boxes;

 private:
  TdisplayBox& addBox(int gap, int width, int kind);
};
