// Tests of the row text line: writing every kind, and reading lines back, good and bad.
#include <gtest/gtest.h>

#include "kvrowutils.h"

namespace {

template <typename T>
std::shared_ptr<T> as(const TrowPtr& r) {
  return std::dynamic_pointer_cast<T>(r);
}

std::shared_ptr<Ttoken> token(int pid, uint64_t strt, uint32_t addr, uint32_t endp, uint32_t crc5, uint32_t idle,
                              uint32_t depth) {
  auto t = std::make_shared<Ttoken>();
  t->pid = pid;
  t->strt = strt;
  t->addr = addr;
  t->endp = endp;
  t->crc5 = crc5;
  t->idleTicks = idle;
  t->depth = depth;
  return t;
}

std::shared_ptr<Thandshake> handshake(int pid, uint64_t strt, uint32_t idle, uint32_t depth) {
  auto h = std::make_shared<Thandshake>();
  h->pid = pid;
  h->strt = strt;
  h->idleTicks = idle;
  h->depth = depth;
  return h;
}

// Reading a line and writing the row again gives the line back.
void expectRoundTrip(const std::string& line) {
  auto row = rowutils::fromString(line);
  ASSERT_TRUE(row) << line;
  EXPECT_EQ(rowutils::toString(row), line + "\n");
}

}  // namespace

TEST(RowLineWrite, ExampleOfATransactionAndATransfer) {
  auto in = std::make_shared<Ttransax>(TRX_IN);
  in->children = {token(PID_IN, 24000, 5, 1, 0x0c, 6, 1), handshake(PID_NAK, 24041, 8000, 1)};
  auto tfr = std::make_shared<Ttransfer>(TFR_CONTROL);
  auto setup = std::make_shared<Ttransax>(TRX_SETUP);
  setup->depth = 1;
  auto data = std::make_shared<Tdata>();
  data->pid = PID_DATA0;
  data->strt = 150039;
  data->data = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x40, 0x00};
  data->crc16 = 0x94dd;
  data->idleTicks = 4;
  data->depth = 2;
  setup->children = {token(PID_SETUP, 150000, 0, 0, 2, 4, 2), data, handshake(PID_ACK, 150151, 20, 2)};
  tfr->children = {setup, std::make_shared<Ttransax>(TRX_IN), std::make_shared<Ttransax>(TRX_OUT)};

  std::string text;
  for (const TrowPtr& r : TrowVec{in, in->children[0], in->children[1], tfr, setup, setup->children[0],
                                  setup->children[1], setup->children[2]})
    text += rowutils::toString(r);
  EXPECT_EQ(text,
            "0;T:IN;X:2\n"
            "  1;K:9;TI:24000;AD:5;EP:1;5P:0c;TL:6\n"
            "  1;H:10;TI:24041;TL:8000\n"
            "0;C:CONTROL;X:3\n"
            "  1;T:SETUP;X:3\n"
            "    2;K:13;TI:150000;AD:0;EP:0;5P:02;TL:4\n"
            "    2;D:3;TI:150039;DA:80,06,00,01,00,00,40,00;6P:94dd;TL:4\n"
            "    2;H:2;TI:150151;TL:20\n");
}

TEST(RowLineWrite, EveryOtherKindAndForm) {
  auto reset = std::make_shared<Treset>();
  reset->depth = 3;
  reset->strt = 5000000000ull;
  reset->duration = 3000000000u;
  reset->idleTicks = 4294967295u;
  EXPECT_EQ(rowutils::toString(reset), "3;Y:Reset;TI:5000000000;RL:3000000000;TL:4294967295\n");

  auto sof = std::make_shared<Tsof>();
  sof->pid = PID_SOF;
  sof->strt = 2757;
  sof->frame = 1527;
  sof->crc5 = 0x1e;
  sof->crcOK = false;
  sof->idleTicks = 6847;
  sof->depth = 3;
  EXPECT_EQ(rowutils::toString(sof), "      3;S:5;TI:2757;FR:1527;5F:1e;TL:6847\n");

  auto zlp = std::make_shared<Tdata>();
  zlp->pid = PID_DATA1;
  zlp->strt = 1;
  zlp->data = {};
  EXPECT_EQ(rowutils::toString(zlp), "0;D:11;TI:1;DA:;6P:0000;TL:0\n");
  zlp->data = {0x0A, 0xFF};
  zlp->crcOK = false;
  zlp->crc16 = 0xabc;
  EXPECT_EQ(rowutils::toString(zlp), "0;D:11;TI:1;DA:0a,ff;6F:0abc;TL:0\n");

  auto group = std::make_shared<TsofGroup>();
  group->children.resize(12);
  EXPECT_EQ(rowutils::toString(group), "0;G:SOFgroup;X:12\n");
  EXPECT_EQ(rowutils::toString(std::make_shared<Ttransax>()), "0;T:OUT;X:0\n");  // Undefined is written OUT
  EXPECT_EQ(rowutils::toString(std::make_shared<Ttransfer>()), "0;C:CONTROL;X:0\n");
  EXPECT_EQ(rowutils::toString(std::make_shared<Tbase>()), "");
  EXPECT_EQ(rowutils::toString(nullptr), "");
}

TEST(RowLineRead, WrittenLinesReadBack) {
  expectRoundTrip("0;Y:Reset;TI:5000000000;RL:3000000000;TL:4294967295");
  expectRoundTrip("      3;S:5;TI:2757;FR:1527;5F:1e;TL:6847");
  expectRoundTrip("    2;K:13;TI:150000;AD:0;EP:0;5P:02;TL:4");
  expectRoundTrip("    2;D:3;TI:150039;DA:80,06,00,01,00,00,40,00;6P:94dd;TL:4");
  expectRoundTrip("0;D:11;TI:1;DA:;6F:0000;TL:0");
  expectRoundTrip("  1;H:10;TI:24041;TL:8000");
  expectRoundTrip("  1;T:SETUP;X:0");
  expectRoundTrip("  1;T:IN;X:0");
}

TEST(RowLineRead, FieldsByKind) {
  auto d = as<Tdata>(rowutils::fromString("2;D:3;TL:9;DA:0A,FF;DA:1;6F:0x0AbC;TI:77\r"));
  ASSERT_TRUE(d);
  EXPECT_EQ(d->depth, 2u);
  EXPECT_EQ(d->data, (std::vector<uint8_t>{0x0A, 0xFF, 0x01}));  // DA lists add up, either case
  EXPECT_EQ(d->crc16, 0xABC);
  EXPECT_FALSE(d->crcOK);
  EXPECT_EQ(d->strt, 77u);
  EXPECT_EQ(d->idleTicks, 9u);
  EXPECT_EQ(d->handle, 0);
  EXPECT_EQ(d->ordinal, 6666u);

  auto k = as<Ttoken>(rowutils::fromString("0;K:200;AD:300;EP:99;ZZ:1;AD:7"));
  ASSERT_TRUE(k);
  EXPECT_EQ(k->pid, 200);   // values outside their USB range are kept
  EXPECT_EQ(k->addr, 7u);   // last one wins
  EXPECT_EQ(k->endp, 99u);
  EXPECT_TRUE(k->crcOK);    // no CRC field
  EXPECT_EQ(k->strt, MAX_TICK);

  auto t = as<Ttransax>(rowutils::fromString("1;T:FOO;X:2"));
  ASSERT_TRUE(t);
  EXPECT_EQ(t->subType, TRX_UNDEFINED);
  EXPECT_TRUE(t->valid);
  t = as<Ttransax>(rowutils::fromString("1;Q:IN"));
  EXPECT_EQ(rowutils::fromString("1;Q:IN"), nullptr);  // unknown kind letter
  t = as<Ttransax>(rowutils::fromString("1;Tx:IN"));
  ASSERT_TRUE(t);
  EXPECT_FALSE(t->valid);

  auto c = rowutils::fromString("0;C:CONTROL;X:3");
  ASSERT_TRUE(as<Ttransfer>(c));
  EXPECT_EQ(as<Ttransfer>(c)->subType, TFR_DEFAULT);
  EXPECT_EQ(c->strt, MAX_TICK);
  EXPECT_TRUE(as<Ttransfer>(rowutils::fromString("0;C")));
  EXPECT_TRUE(as<TsofGroup>(rowutils::fromString("4;G;whatever")));
  auto r = as<Treset>(rowutils::fromString("0;Yxx;RL:5"));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->duration, 5u);
}

TEST(RowLineRead, LinesThatGiveNoRow) {
  for (const char* line : {"", "-", "-0;H:2", "0;", ";;;", "0", "x;H:2", "0;H:2;TI", "0;H:2;TI:", "0;H:2;TI:1:2",
                           "0;H:x;TI:1", "0;H:2;TI:abc", "0;H:2;TI:-1", "0;H:2;TL:4294967296",
                           "0;H:2;TI:18446744073709551616", "0;Y:Reset;RL:-5", "0;K:9;AD:2147483648",
                           "0;K:9;5P:zz", "0;D:3;DA:g0,1", "0;D:3;6P:", "0;T", "0;S:2147483648", "-1;H:2",
                           "2147483648;H:2"})
    EXPECT_EQ(rowutils::fromString(line), nullptr) << '"' << line << '"';
  // Range ends that still fit.
  EXPECT_TRUE(rowutils::fromString("0;H:2;TI:18446744073709551615;TL:4294967295"));
  EXPECT_TRUE(rowutils::fromString("0;K:-2147483648;AD:-1"));
  EXPECT_TRUE(rowutils::fromString("0;D:3;DA:1:2;TI:4"));  // a DA field that is not key:value adds nothing
}
