// Tests of the display boxes: box makers, rows as boxes, box strings and captures as boxes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>

#include "kvboxes.h"
#include "pipe_helpers.h"
#include "tools/usbenc/usbenc.h"

using namespace kvtest;
using ::testing::EndsWith;
using ::testing::HasSubstr;

namespace {

/// The boxes as "top=bottom" texts joined by "|".
std::string texts(const std::vector<TdisplayBox>& boxes) {
  std::string s;
  for (const auto& b : boxes) s += (s.empty() ? "" : "|") + b.top.text + "=" + b.bottom.text;
  return s;
}

/// The first root the grouper makes of events(spec), or its child i.
TrowPtr tree(const std::string& spec, int i = -1) {
  const TrowPtr root = group(spec).at(0);
  return i < 0 ? root : asGroup(root)->children.at(static_cast<size_t>(i));
}

/// "request/address.endpoint/data/outcome" of every control transfer of a decoded stream.
std::vector<std::string> transferSummaries(const TlinRowVec& lin) {
  Tboxes boxes;
  std::vector<std::string> out;
  for (const TlinRow& lr : lin) {
    const std::string s = boxes.getBoxesString(lr.row);
    EXPECT_TRUE(s.size() >= 2 && s.back() == '\n') << "row " << lr.row->handle;
    if (lr.row->kind != ROW_TRANSFER) continue;
    const auto& b = boxes.getBoxes(lr.row);
    EXPECT_EQ(b.size(), 6u) << "row " << lr.row->handle;
    if (b.size() < 6) continue;
    // Address and endpoint are those of the SETUP token.
    auto tok = std::static_pointer_cast<Ttransfer>(lr.row)->findSetupTransax()->findTokenPkt();
    const std::string port = b[2].bottom.text + "." + b[3].bottom.text;
    EXPECT_EQ(port, std::to_string(tok->addr) + "." + std::to_string(tok->endp));
    out.push_back(b[1].bottom.text + "/" + port + "/" + b[4].top.text + "/" + b[5].bottom.text);
  }
  return out;
}

}  // namespace

TEST(BoxStrings, ExamplesByteForByte) {
  Tboxes boxes;
  auto reset = std::make_shared<Treset>();
  reset->idleTicks = 6;
  EXPECT_THAT(boxes.getBoxesString(reset),
              HasSubstr(";g10,w8,t2|s0xff000000,0xffadd8e6,Idle|s0xff000000,0xffffffff,6;"));

  auto group = std::make_shared<TsofGroup>();
  for (unsigned i = 0; i < 26; ++i) {
    auto s = std::make_shared<Tsof>();
    s->ordinal = 17 + i;
    group->children.push_back(s);
  }
  EXPECT_EQ(boxes.getBoxesString(group),
            "g0,w14,t2|s0xff000000,0xfff0ffff,Packets|s0xff000000,0xfff0ffff,17 .. 42;"
            "g10,w21,t1|s0xffffffff,0xff696969,26 SOFs;\n");
  EXPECT_THAT(boxes.getBoxesString(events("D0=01,02,03")[0]),
              HasSubstr(";g0,w-14,t2|s0xffffffff,0xffff0000,DATA (3 bytes)|s0xff000000,0xffffffff,01 02 03 ;"));

  auto sof = std::make_shared<Tsof>();
  sof->depth = 1;
  sof->ordinal = 5;
  sof->strt = 12;
  sof->frame = 100;
  sof->crc5 = 0x1a;
  sof->idleTicks = 6;
  sof->pid = PID_DATA1;  // a SOF row shows PID 5 whatever its pid holds
  const std::string sofRow =
      "g0,w14,t2|s0xff000000,0xfff0ffff,Packet 5|s0xff000000,0xfff0ffff,1 000 ns;"
      "g26,w7,t2|s0xffffffff,0xff008000,SOF|s0xff000000,0xffffffff,0xA5;"
      "g0,w7,t2|s0xffffffff,0xff800080,Frame|s0xff000000,0xffffffff,100;"
      "g0,w7,t2|s0xffffffff,0xff778899,CRC5|s0xff000000,0xffffffff,0x1a;"
      "g10,w8,t2|s0xff000000,0xffadd8e6,Idle|s0xff000000,0xffffffff,6;\n";
  EXPECT_EQ(boxes.getBoxesString(sof), sofRow);
  sof->crcOK = false;  // a bad CRC turns the CRC box red on white
  EXPECT_EQ(boxes.getBoxes(sof)[3].top.fg, RED);
  EXPECT_EQ(boxes.getBoxes(sof)[3].top.bg, WHITE);

  // Widths 7 and -7 (fit to text) in the box string; the stored width stays -1.
  auto tfr = tree("SETUP5.0 D0=00,05,07,00,00,00,00,00 ACK IN5.0 D1:0 ACK");
  const std::string s = boxes.getBoxesString(tfr);
  EXPECT_THAT(s, HasSubstr(";g0,w7,t2|s0xffffffff,0xff000000,ADDR|s0xff000000,0xffffffff,5;"));
  EXPECT_THAT(s, HasSubstr(";g0,w-7,t2|s0xff000000,0xffffff00,Success|s0xff000000,0xffffffff,OK;\n"));
  EXPECT_EQ(boxes.getBoxes(tfr)[5].width, -1);

  EXPECT_EQ(boxes.getBoxesString(nullptr), "\n");
  EXPECT_EQ(boxes.getBoxesString(std::make_shared<Tbase>()), "\n");
}

TEST(BoxMakers, DataPreviewAtItsBoundaries) {
  const struct {
    size_t n;
    const char* box;
  } cases[] = {{0, "DATA="},
               {1, "DATA (1 bytes)=00 "},
               {8, "DATA (8 bytes)=00 01 02 03  04 05 06 07 "},
               {9, "DATA (9 bytes)=00 01 02 03  04 05 06 07   ..."},
               {10, "DATA (10 bytes)=00 01 02 03  04 05 06 07   ..."}};
  for (const auto& c : cases) {
    Tboxes boxes;
    boxes.genDataBox(std::static_pointer_cast<Tdata>(events("D0:" + std::to_string(c.n))[0])->data);
    EXPECT_EQ(texts(boxes.boxes), c.box);
    EXPECT_EQ(boxes.boxes[0].width, -1);
  }
}

TEST(BoxRows, RowsAsBoxTexts) {
  auto in = tree("IN5.0 D1=01,02 ACK");
  in->ordinal = 7;
  auto nak = events("NAK")[0];
  auto setup = tree("SETUP5.0 D0=a1,0d,00,01,02,00,12,01 ACK", 0);
  // A damaged file's transaction: children of other kinds are skipped.
  auto damaged = asGroup(tree("OUT5.0 D1=09 NAK"));
  damaged->children.insert(damaged->children.begin() + 1, std::make_shared<Treset>());
  for (TrowPtr r : {TrowPtr(std::make_shared<Tsof>()), TrowPtr(std::make_shared<TsofGroup>()),
                    TrowPtr(std::make_shared<Ttransax>()), TrowPtr()})
    damaged->children.push_back(r);
  // A transfer whose SETUP transaction lost its token shows its left box alone.
  auto noToken = tree("SETUP5.0 D0:8 ACK");
  auto& setupStage = asGroup(asGroup(noToken)->children[0])->children;
  setupStage.erase(setupStage.begin());
  // Only SOF children give the ends of a SOF group's range; every child counts.
  auto mixed = std::make_shared<TsofGroup>();
  mixed->children = {std::make_shared<Tsof>(), std::make_shared<Treset>()};
  mixed->children[0]->ordinal = 17;

  const struct {
    TrowPtr row;
    const char* boxes;
  } cases[] = {
      {in, "Transaction=7|IN=0x69|ADDR=5|ENDP=0|DATA1=0x4B|T=1|DATA (2 bytes)=01 02 |ACK=0xD2"},
      {nak, "NAK=0x5A|Idle=0"},
      // bRequest shows its number here, where a transfer row shows its name.
      {setup, "SETUP=0x2D|ADDR=5|ENDP=0|T=0|Dir=DtoH|Typ=C|R=I|bRequest=13|wValue=0x0100|"
              "wIndex=0x0002|wLength=274|ACK=0xD2"},
      {tree("SETUP5.0 D0=45,00,00,00,00,00,00,00 ACK", 0),
       "Dir=HtoD|Typ=V|R=?|bRequest=0|wValue=0x0000|wIndex=0x0000|wLength=0|ACK=0xD2"},
      {tree("SETUP5.0 D0:7 ACK", 0), "|SETUP=0x2D|ADDR=5|ENDP=0|ACK=0xD2"},
      {damaged, "|OUT=0xE1|ADDR=5|ENDP=0|DATA1=0x4B|T=1|DATA (1 bytes)=09 |NAK=0x5A"},
      // GET_DESCRIPTOR with 8 + 2 bytes in and a NAKed IN between; a stalled non-standard request.
      {tree("SETUP5.0 D0=80,06,00,01,00,00,12,00 ACK IN5.0 D1:8 ACK IN5.0 NAK IN5.0 D1=08,09 ACK "
            "OUT5.0 D1:0 ACK"),
       "|bRequest=Get Descriptor|ADDR=5|ENDP=0|"
            "DATA (10 bytes)=00 01 02 03  04 05 06 07   ...|Success=OK"},
      {tree("SETUP5.0 D0=80,0d,00,00,00,00,02,00 ACK IN5.0 STALL"),
       "|bRequest=Non-standard|ADDR=5|ENDP=0|DATA=|Success=Fail"},
      {std::make_shared<Ttransfer>(TFR_CONTROL), "Control Transfer=6666"},
      {tree("SETUP5.0 D0:7 ACK"), "Control Transfer=6666"},
      {noToken, "Control Transfer=6666"},
      {std::make_shared<TsofGroup>(), "Packets=|0 SOFs="},
      {mixed, "Packets=17 .. |2 SOFs="},
  };
  Tboxes boxes;
  for (const auto& c : cases) EXPECT_THAT(texts(boxes.getBoxes(c.row)), EndsWith(c.boxes)) << c.boxes;
  EXPECT_EQ(boxes.getBoxes(std::make_shared<TsofGroup>())[1].kind, 0);

  // PID box gaps: 42 for the token at the transaction's depth 2 and for a packet at depth 2,
  // 10 for data and handshake; an absurd depth from a damaged file stays in range.
  in->depth = 2;
  nak->depth = 2;
  const auto& b = boxes.getBoxes(in);
  EXPECT_EQ(std::vector<int>({b[1].gap, b[4].gap, b[7].gap}), std::vector<int>({42, 10, 10}));
  EXPECT_EQ(boxes.getBoxes(nak)[1].gap, 42);
  EXPECT_EQ(boxes.getBoxes(setup)[4].gap, 10);
  in->depth = 0x80000000u;
  nak->depth = 0xffffffffu;
  EXPECT_EQ(boxes.getBoxes(in)[1].gap, INT_MAX);
  EXPECT_EQ(boxes.getBoxes(nak)[1].gap, INT_MAX);
}

TEST(BoxTexts, TickToStrAndHexRGB) {
  const struct {
    unsigned long ticks;
    bool raw;
    const char* text;
  } cases[] = {
      {999, false, "83 250 ns"}, {0, false, "0 ns"}, {1, false, "83 ns"}, {12, false, "1 000 ns"},
      {12000000, false, "1 000 000 000 ns"}, {12000000, true, "12000000"},
      // The largest tick count still gives its true time, with no wrap-around.
      {MAX_TICK, false, "1 537 228 672 809 129 301 250 ns"}, {MAX_TICK, true, "18446744073709551615"},
  };
  for (const auto& c : cases) EXPECT_EQ(Tboxes::tickToStr(c.ticks, c.raw), c.text);
  EXPECT_EQ(Tboxes::hexRGB(RED), "0xffff0000");
  EXPECT_EQ(Tboxes::hexRGB(0xff123456ul), "0xff563412");  // bits above blue are ignored
}

TEST(BoxCaptures, ControlTransfersOfCapturesAndEncodedTraffic) {
  const auto names = captureNames();
  EXPECT_EQ(names.size(), 4u);
  for (const auto& name : names) {
    const Views v = decodeRaw(readBytes(captureDir() + "/" + name + ".raw"));
    ASSERT_FALSE(v.lin->empty()) << name;
    const auto summaries = transferSummaries(*v.lin);
    if (name == "usb_failed_setup_fullspeed") {
      // Three stalled device-qualifier requests; the configuration descriptor read (9 bytes)
      // whose status stage is acknowledged only outside the transfer; then a stalled one.
      EXPECT_EQ(summaries, (std::vector<std::string>{
                               "Get Descriptor/55.0/DATA/Fail", "Get Descriptor/55.0/DATA/Fail",
                               "Get Descriptor/55.0/DATA/Fail", "Get Descriptor/55.0/DATA (9 bytes)/Fail",
                               "Get Descriptor/55.0/DATA/Fail"}));
    }
    if (name == "cp2102_setup_with_outdata_nak") {
      EXPECT_EQ(summaries.size(), 21u);
      EXPECT_EQ(std::count_if(summaries.begin(), summaries.end(),
                              [](const std::string& s) { return s.ends_with("/OK"); }), 20);
    }
  }

  usbenc::Bus bus;
  usbenc::Host host(bus);
  usbenc::enumerateHid(host, 5, 0);  // no NAKed retries: every status stage stays in its transfer
  const auto summaries = transferSummaries(*decodeRaw(bus.stream()).lin);
  ASSERT_GE(summaries.size(), 8u);
  EXPECT_EQ(summaries[0], "Get Descriptor/0.0/DATA (18 bytes)/OK");
  EXPECT_EQ(summaries[1], "Set Address/0.0/DATA/OK");
  for (const char* s : {"Set Config/5.0/DATA/OK", "Get Descriptor/5.0/DATA (9 bytes)/OK"})
    EXPECT_NE(std::find(summaries.begin(), summaries.end(), s), summaries.end()) << s;
}
