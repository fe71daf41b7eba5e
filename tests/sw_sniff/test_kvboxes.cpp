// Tests of the display boxes: box makers, rows as boxes, box strings and captures as boxes.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "kvboxes.h"
#include "kvdataio.h"
#include "kvutils.h"
#include "tools/usbenc/usbenc.h"

namespace {

std::string dataDir() {
  const char* env = std::getenv("KV_TEST_DATA_DIR");
  return env ? env : KV_TEST_DATA_DIR;
}

/// The ";"-terminated box records of a box string (texts in these tests hold no ";").
std::vector<std::string> records(const std::string& boxString) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t i = 0; i < boxString.size(); ++i) {
    if (boxString[i] == ';') {
      out.push_back(boxString.substr(start, i + 1 - start));
      start = i + 1;
    }
  }
  return out;
}

std::vector<std::string> topTexts(const std::vector<TdisplayBox>& boxes) {
  std::vector<std::string> out;
  for (const auto& b : boxes) out.push_back(b.top.text);
  return out;
}

std::shared_ptr<Ttoken> token(int pid, unsigned addr, unsigned endp) {
  auto t = std::make_shared<Ttoken>();
  t->pid = pid;
  t->addr = addr;
  t->endp = endp;
  return t;
}

std::shared_ptr<Tdata> data(int pid, std::vector<uint8_t> bytes) {
  auto d = std::make_shared<Tdata>();
  d->pid = pid;
  d->data = std::move(bytes);
  return d;
}

std::shared_ptr<Thandshake> handshake(int pid) {
  auto h = std::make_shared<Thandshake>();
  h->pid = pid;
  return h;
}

std::shared_ptr<Ttransax> transaction(TtrxType type, std::vector<uint8_t> payload, int handshakePid,
                                      uint32_t depth = 1, bool withData = true) {
  auto t = std::make_shared<Ttransax>(type);
  t->depth = depth;
  const int tokenPid = type == TRX_SETUP ? PID_SETUP : type == TRX_IN ? PID_IN : PID_OUT;
  t->children.push_back(token(tokenPid, 5, 0));
  if (withData) t->children.push_back(data(type == TRX_SETUP ? PID_DATA0 : PID_DATA1, std::move(payload)));
  if (handshakePid >= 0) t->children.push_back(handshake(handshakePid));
  return t;
}

std::vector<uint8_t> bytesUpTo(size_t n) {
  std::vector<uint8_t> v;
  for (size_t i = 0; i < n; ++i) v.push_back(static_cast<uint8_t>(i));
  return v;
}

}  // namespace

TEST(BoxStrings, ExamplesByteForByte) {
  Tboxes boxes;

  auto reset = std::make_shared<Treset>();
  reset->idleTicks = 6;
  reset->duration = 12;
  reset->strt = 0;
  auto r = records(boxes.getBoxesString(reset));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0], "g0,w28,t2|s0xffffffff,0xff800080,Reset for 1 000 ns|s0xffffffff,0xff800080,0 ns;");
  EXPECT_EQ(r[1], "g10,w8,t2|s0xff000000,0xffadd8e6,Idle|s0xff000000,0xffffffff,6;");

  auto group = std::make_shared<TsofGroup>();
  for (unsigned i = 0; i < 26; ++i) {
    auto s = std::make_shared<Tsof>();
    s->ordinal = 17 + i;
    group->children.push_back(s);
  }
  r = records(boxes.getBoxesString(group));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0], "g0,w14,t2|s0xff000000,0xfff0ffff,Packets|s0xff000000,0xfff0ffff,17 .. 42;");
  EXPECT_EQ(r[1], "g10,w21,t1|s0xffffffff,0xff696969,26 SOFs;");

  r = records(boxes.getBoxesString(data(PID_DATA0, {1, 2, 3})));
  ASSERT_EQ(r.size(), 6u);
  EXPECT_EQ(r[3], "g0,w-14,t2|s0xffffffff,0xffff0000,DATA (3 bytes)|s0xff000000,0xffffffff,01 02 03 ;");

  auto sof = std::make_shared<Tsof>();
  sof->depth = 1;
  sof->ordinal = 5;
  sof->strt = 12;
  sof->frame = 100;
  sof->crc5 = 0x1a;
  sof->idleTicks = 6;
  sof->pid = PID_SOF;
  EXPECT_EQ(boxes.getBoxesString(sof),
            "g0,w14,t2|s0xff000000,0xfff0ffff,Packet 5|s0xff000000,0xfff0ffff,1 000 ns;"
            "g26,w7,t2|s0xffffffff,0xff008000,SOF|s0xff000000,0xffffffff,0xA5;"
            "g0,w7,t2|s0xffffffff,0xff800080,Frame|s0xff000000,0xffffffff,100;"
            "g0,w7,t2|s0xffffffff,0xff778899,CRC5|s0xff000000,0xffffffff,0x1a;"
            "g10,w8,t2|s0xff000000,0xffadd8e6,Idle|s0xff000000,0xffffffff,6;\n");

  // A SOF row shows PID 5 whatever its pid holds; a bad CRC turns the CRC box red on white.
  sof->pid = PID_DATA1;
  sof->crcOK = false;
  const auto& list = boxes.getBoxes(sof);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[1].top.text, "SOF");
  EXPECT_EQ(list[1].bottom.text, "0xA5");
  EXPECT_EQ(list[3].top.fg, RED);
  EXPECT_EQ(list[3].top.bg, WHITE);
}

TEST(BoxStrings, NullRowsAndUnknownKindsGiveOnlyTheLineEnd) {
  Tboxes boxes;
  EXPECT_EQ(boxes.getBoxesString(nullptr), "\n");
  EXPECT_EQ(boxes.getBoxesString(std::make_shared<Tbase>()), "\n");
  EXPECT_TRUE(boxes.getBoxes(nullptr).empty());
}

TEST(BoxStrings, WidthsOfFitToTextAndFixedBoxes) {
  // A complete control transfer: its last box is "Success" over "OK", fit to text.
  auto tfr = std::make_shared<Ttransfer>(TFR_CONTROL);
  tfr->children.push_back(transaction(TRX_SETUP, {0x00, 5, 7, 0, 0, 0, 0, 0}, PID_ACK));
  tfr->children.push_back(transaction(TRX_IN, {}, PID_ACK));
  Tboxes boxes;
  auto r = records(boxes.getBoxesString(tfr));
  ASSERT_EQ(r.size(), 6u);
  EXPECT_EQ(r[2], "g0,w7,t2|s0xffffffff,0xff000000,ADDR|s0xff000000,0xffffffff,5;");
  EXPECT_EQ(r[5], "g0,w-7,t2|s0xff000000,0xffffff00,Success|s0xff000000,0xffffffff,OK;");
  // The stored width of a fit-to-text box stays -1; only the box string carries the length.
  EXPECT_EQ(boxes.getBoxes(tfr)[5].width, -1);
}

TEST(BoxMakers, DataPreviewAtItsBoundaries) {
  struct Case {
    size_t n;
    const char* top;
    const char* bottom;
  };
  const Case cases[] = {
      {0, "DATA", ""},
      {1, "DATA (1 bytes)", "00 "},
      {4, "DATA (4 bytes)", "00 01 02 03  "},
      {8, "DATA (8 bytes)", "00 01 02 03  04 05 06 07 "},
      {9, "DATA (9 bytes)", "00 01 02 03  04 05 06 07   ..."},
      {10, "DATA (10 bytes)", "00 01 02 03  04 05 06 07   ..."},
  };
  for (const Case& c : cases) {
    Tboxes boxes;
    boxes.genDataBox(bytesUpTo(c.n));
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].top.text, c.top) << c.n;
    EXPECT_EQ(boxes.boxes[0].bottom.text, c.bottom) << c.n;
    EXPECT_EQ(boxes.boxes[0].width, -1);
  }
  Tboxes boxes;
  boxes.genDataBox(std::vector<uint8_t>{0xab, 0x0f});
  EXPECT_EQ(boxes.boxes[0].bottom.text, "ab 0f ");
}

TEST(BoxRows, TransactionOrderAndPidGaps) {
  Tboxes boxes;
  auto in = transaction(TRX_IN, {1, 2}, PID_ACK, 2);
  in->ordinal = 7;
  const auto& list = boxes.getBoxes(in);
  EXPECT_EQ(topTexts(list), (std::vector<std::string>{"Transaction", "IN", "ADDR", "ENDP", "DATA1",
                                                      "T", "DATA (2 bytes)", "ACK"}));
  ASSERT_EQ(list.size(), 8u);
  EXPECT_EQ(list[0].bottom.text, "7");
  EXPECT_EQ(list[0].top.bg, LIGHTGREEN);
  EXPECT_EQ(list[1].gap, 42);  // token PID box at the transaction's depth 2
  EXPECT_EQ(list[4].gap, 10);  // data PID box
  EXPECT_EQ(list[7].gap, 10);  // handshake PID box

  // A root packet row indents its PID box by its own depth.
  auto h = handshake(PID_NAK);
  h->depth = 2;
  const auto& hs = boxes.getBoxes(h);
  EXPECT_EQ(topTexts(hs), (std::vector<std::string>{"Packet 6666", "NAK", "Idle"}));
  EXPECT_EQ(hs[1].gap, 42);
}

TEST(BoxRows, AbsurdDepthFromADamagedFileStaysInRange) {
  auto s = std::make_shared<Tsof>();
  s->depth = 0xffffffffu;
  auto t = transaction(TRX_IN, {}, PID_ACK, 0x80000000u);
  Tboxes boxes;
  EXPECT_EQ(boxes.getBoxes(s)[1].gap, INT_MAX);
  EXPECT_EQ(boxes.getBoxes(t)[1].gap, INT_MAX);
}

TEST(BoxRows, SetupTransactionSpellsOutTheRequest) {
  Tboxes boxes;
  auto setup = transaction(TRX_SETUP, {0xa1, 13, 0x00, 0x01, 0x02, 0x00, 0x12, 0x01}, PID_ACK);
  setup->ordinal = 7;
  EXPECT_EQ(topTexts(boxes.getBoxes(setup)),
            (std::vector<std::string>{"Transaction", "SETUP", "ADDR", "ENDP", "T", "Dir", "Typ",
                                      "R", "bRequest", "wValue", "wIndex", "wLength", "ACK"}));
  std::vector<std::string> bottoms;
  for (const auto& b : boxes.getBoxes(setup)) bottoms.push_back(b.bottom.text);
  // bRequest shows its number here, where a transfer row shows its name.
  EXPECT_EQ(bottoms, (std::vector<std::string>{"7", "0x2D", "5", "0", "0", "DtoH", "C", "I", "13",
                                               "0x0100", "0x0002", "274", "0xD2"}));
  EXPECT_EQ(boxes.getBoxes(setup)[4].gap, 10);
  // Recipient above 3, host to device, vendor type.
  const auto& o = boxes.getBoxes(transaction(TRX_SETUP, {0x45, 0, 0, 0, 0, 0, 0, 0}, PID_ACK));
  EXPECT_EQ(o[5].bottom.text + o[6].bottom.text + o[7].bottom.text, "HtoDV?");

  // A 7-byte SETUP payload shows nothing for the data packet.
  auto shortSetup = transaction(TRX_SETUP, bytesUpTo(7), PID_ACK);
  EXPECT_EQ(topTexts(boxes.getBoxes(shortSetup)),
            (std::vector<std::string>{"Transaction", "SETUP", "ADDR", "ENDP", "ACK"}));
}

TEST(BoxRows, DamagedTransactionSkipsChildrenOfOtherKinds) {
  auto t = transaction(TRX_OUT, {9}, PID_NAK);
  t->children.insert(t->children.begin() + 1, std::make_shared<Treset>());
  t->children.push_back(std::make_shared<Tsof>());
  t->children.push_back(std::make_shared<TsofGroup>());
  t->children.push_back(std::make_shared<Ttransax>());
  t->children.push_back(nullptr);
  Tboxes boxes;
  EXPECT_EQ(topTexts(boxes.getBoxes(t)),
            (std::vector<std::string>{"Transaction", "OUT", "ADDR", "ENDP", "DATA1", "T",
                                      "DATA (1 bytes)", "NAK"}));
}

TEST(BoxRows, ControlTransferSummary) {
  Tboxes boxes;
  // GET_DESCRIPTOR with 8 + 2 bytes in, a NAKed IN between, then an acknowledged status stage.
  auto tfr = std::make_shared<Ttransfer>(TFR_CONTROL);
  tfr->ordinal = 3;
  tfr->children.push_back(transaction(TRX_SETUP, {0x80, 6, 0, 1, 0, 0, 18, 0}, PID_ACK));
  tfr->children.push_back(transaction(TRX_IN, bytesUpTo(8), PID_ACK));
  tfr->children.push_back(transaction(TRX_IN, {}, PID_NAK, 1, false));
  tfr->children.push_back(transaction(TRX_IN, {8, 9}, PID_ACK));
  tfr->children.push_back(transaction(TRX_OUT, {}, PID_ACK));
  const auto& list = boxes.getBoxes(tfr);
  EXPECT_EQ(topTexts(list), (std::vector<std::string>{"Control Transfer", "bRequest", "ADDR",
                                                      "ENDP", "DATA (10 bytes)", "Success"}));
  ASSERT_EQ(list.size(), 6u);
  EXPECT_EQ(list[0].top.fg, WHITE);
  EXPECT_EQ(list[0].top.bg, GREEN);
  EXPECT_EQ(list[0].bottom.text, "3");
  EXPECT_EQ(list[1].gap, 10);
  EXPECT_EQ(list[1].bottom.text, "Get Descriptor");
  EXPECT_EQ(list[2].bottom.text, "5");
  EXPECT_EQ(list[4].bottom.text, "00 01 02 03  04 05 06 07   ...");
  EXPECT_EQ(list[5].bottom.text, "OK");

  // A stalled request: no status stage, so "Fail"; bRequest 13 is not a standard name.
  auto stalled = std::make_shared<Ttransfer>(TFR_CONTROL);
  stalled->children.push_back(transaction(TRX_SETUP, {0x80, 13, 0, 0, 0, 0, 2, 0}, PID_ACK));
  stalled->children.push_back(transaction(TRX_IN, {}, PID_STALL, 1, false));
  const auto& s = boxes.getBoxes(stalled);
  ASSERT_EQ(s.size(), 6u);
  EXPECT_EQ(s[1].bottom.text, "Non-standard");
  EXPECT_EQ(s[4].top.text, "DATA");
  EXPECT_EQ(s[5].bottom.text, "Fail");

  // Transfers without a usable SETUP transaction show their left box alone.
  auto none = std::make_shared<Ttransfer>(TFR_CONTROL);
  EXPECT_EQ(boxes.getBoxes(none).size(), 1u);
  none->children.push_back(transaction(TRX_SETUP, bytesUpTo(7), PID_ACK));
  EXPECT_EQ(boxes.getBoxes(none).size(), 1u);
  auto noToken = std::make_shared<Ttransfer>(TFR_CONTROL);
  auto setupOnly = transaction(TRX_SETUP, bytesUpTo(8), PID_ACK);
  setupOnly->children.erase(setupOnly->children.begin());
  noToken->children.push_back(setupOnly);
  EXPECT_EQ(boxes.getBoxes(noToken).size(), 1u);
}

TEST(BoxRows, SofGroupTexts) {
  Tboxes boxes;
  auto empty = std::make_shared<TsofGroup>();
  const auto& e = boxes.getBoxes(empty);
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].top.text, "Packets");
  EXPECT_EQ(e[0].bottom.text, "");
  EXPECT_EQ(e[1].top.text, "0 SOFs");
  EXPECT_EQ(e[1].kind, 0);

  // Only SOF children give the ends of the range; every child counts.
  auto mixed = std::make_shared<TsofGroup>();
  auto first = std::make_shared<Tsof>();
  first->ordinal = 17;
  mixed->children.push_back(first);
  mixed->children.push_back(std::make_shared<Treset>());
  const auto& m = boxes.getBoxes(mixed);
  EXPECT_EQ(m[0].bottom.text, "17 .. ");
  EXPECT_EQ(m[1].top.text, "2 SOFs");
}

TEST(BoxTexts, TickToStr) {
  EXPECT_EQ(Tboxes::tickToStr(999, false), "83 250 ns");
  EXPECT_EQ(Tboxes::tickToStr(0, false), "0 ns");
  EXPECT_EQ(Tboxes::tickToStr(1, false), "83 ns");
  EXPECT_EQ(Tboxes::tickToStr(12, false), "1 000 ns");
  EXPECT_EQ(Tboxes::tickToStr(12000000, false), "1 000 000 000 ns");
  EXPECT_EQ(Tboxes::tickToStr(12000000, true), "12000000");
  // The largest tick count still gives its true time, with no wrap-around.
  EXPECT_EQ(Tboxes::tickToStr(MAX_TICK, false), "1 537 228 672 809 129 301 250 ns");
  EXPECT_EQ(Tboxes::tickToStr(MAX_TICK, true), "18446744073709551615");
}

TEST(BoxTexts, HexRGB) {
  EXPECT_EQ(Tboxes::hexRGB(RED), "0xffff0000");
  EXPECT_EQ(Tboxes::hexRGB(AZURE), "0xfff0ffff");
  EXPECT_EQ(Tboxes::hexRGB(BLACK), "0xff000000");
  EXPECT_EQ(Tboxes::hexRGB(0xff123456ul), "0xff563412");  // bits above blue are ignored
}

TEST(BoxCaptures, EveryRowOfEveryCaptureGivesItsBoxes) {
  namespace fs = std::filesystem;
  int captures = 0;
  for (const auto& entry : fs::directory_iterator(dataDir() + "/captures")) {
    if (entry.path().extension() != ".raw") continue;
    ++captures;
    const std::string name = entry.path().stem().string();
    auto events = std::make_shared<TrowVec>();
    auto roots = std::make_shared<TrowVec>();
    auto lin = std::make_shared<TlinRowVec>();
    TdataIO io;
    ASSERT_GT(io.loadRawFile(entry.path().string(), events, roots, lin), 0u) << name;

    Tboxes boxes;
    int transfers = 0;
    int succeeded = 0;
    for (const TlinRow& lr : *lin) {
      const std::string s = boxes.getBoxesString(lr.row);
      ASSERT_GE(s.size(), 2u) << name << " row " << lr.row->handle;
      ASSERT_EQ(s.back(), '\n');
      if (lr.row->kind != ROW_TRANSFER) continue;
      ++transfers;
      auto tfr = std::dynamic_pointer_cast<Ttransfer>(lr.row);
      const auto& list = boxes.getBoxes(lr.row);
      ASSERT_EQ(list.size(), 6u) << name << " transfer " << tfr->ordinal;
      auto setup = tfr->findSetupTransax();
      auto tok = setup->findTokenPkt();
      const int bRequest = setup->findDataPkt()->data[1];
      const std::string expectName = bRequest == 6 ? "Get Descriptor" : "Non-standard";
      if (bRequest == 6 || bRequest > 12) {
        EXPECT_EQ(list[1].bottom.text, expectName);
      }
      EXPECT_EQ(list[2].bottom.text, std::to_string(tok->addr));
      EXPECT_EQ(list[3].bottom.text, std::to_string(tok->endp));
      EXPECT_EQ(list[4].top.text.rfind("DATA", 0), 0u);
      EXPECT_EQ(list[5].bottom.text, tfr->statusDone ? "OK" : "Fail");
      if (list[5].bottom.text == "OK") ++succeeded;
    }
    if (name == "usb_failed_setup_fullspeed") {
      // Three stalled device-qualifier requests; the configuration descriptor read (9 bytes)
      // whose status stage is acknowledged only outside the transfer; then a stalled one.
      std::vector<std::string> outcomes;
      for (const TlinRow& lr : *lin) {
        if (lr.row->kind != ROW_TRANSFER) continue;
        const auto& list = boxes.getBoxes(lr.row);
        outcomes.push_back(list[1].bottom.text + "/" + list[4].top.text + "/" +
                           list[5].bottom.text);
      }
      EXPECT_EQ(outcomes, (std::vector<std::string>{
                              "Get Descriptor/DATA/Fail", "Get Descriptor/DATA/Fail",
                              "Get Descriptor/DATA/Fail", "Get Descriptor/DATA (9 bytes)/Fail",
                              "Get Descriptor/DATA/Fail"}));
    }
    if (name == "cp2102_setup_with_outdata_nak") {
      EXPECT_EQ(transfers, 21);
      EXPECT_EQ(succeeded, 20);
    }
  }
  EXPECT_EQ(captures, 3);
}

TEST(BoxCaptures, EncodedEnumerationShowsItsRequests) {
  usbenc::Bus bus;
  usbenc::Host host(bus);
  usbenc::enumerateHid(host, 5, 0);  // no NAKed retries: every status stage stays in its transfer
  auto events = std::make_shared<TrowVec>();
  auto roots = std::make_shared<TrowVec>();
  auto lin = std::make_shared<TlinRowVec>();
  TdataIO io;
  ASSERT_GT(io.loadRawData(bus.stream(), events, roots, lin), 0u);
  Tboxes boxes;
  std::vector<std::string> summaries;
  for (const TlinRow& lr : *lin) {
    if (lr.row->kind != ROW_TRANSFER) continue;
    const auto& b = boxes.getBoxes(lr.row);
    ASSERT_EQ(b.size(), 6u);
    summaries.push_back(b[1].bottom.text + "/" + b[2].bottom.text + "/" + b[4].top.text + "/" +
                        b[5].bottom.text);
  }
  // The first request goes to address 0 and reads the device descriptor; every request of the
  // enumeration completes.
  ASSERT_GE(summaries.size(), 8u);
  EXPECT_EQ(summaries[0], "Get Descriptor/0/DATA (18 bytes)/OK");
  EXPECT_EQ(summaries[1], "Set Address/0/DATA/OK");
  EXPECT_NE(std::find(summaries.begin(), summaries.end(), "Set Config/5/DATA/OK"), summaries.end());
  EXPECT_NE(std::find(summaries.begin(), summaries.end(), "Get Descriptor/5/DATA (9 bytes)/OK"),
            summaries.end());
}
