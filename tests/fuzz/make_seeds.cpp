// Writes the seed corpora of the fuzz targets: real captures, encoder scenarios, odd hand-made inputs.
//
// Usage: fuzz_make_seeds <captures dir> <corpus dir>. Writes <corpus dir>/<target>/<name> files;
// the output is deterministic, so rerunning it changes nothing in the tree.
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kvdataio.h"
#include "usbenc.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

/// Longest seed of each target, as `make fuzz` bounds its inputs (-max_len): a longer capture is
/// cut (still a valid stream). Short inputs keep the fuzzers fast.
constexpr size_t MAX_RAW_SEED = 16 * 1024;
constexpr size_t MAX_SCRIPT_SEED = 8 * 1024;
/// Largest signed 32-bit count, the limit of a run's extension.
constexpr uint64_t I32_MAX = 0x7FFFFFFF;

fs::path gOut;

void put(const std::string& target, const std::string& name, const std::string& content) {
  const fs::path dir = gOut / target;
  fs::create_directories(dir);
  const size_t limit = target == "decodescript" ? MAX_SCRIPT_SEED : content.size();
  std::ofstream(dir / name, std::ios::binary) << content.substr(0, limit);
}

void put(const std::string& target, const std::string& name, const Bytes& b) {
  put(target, name, std::string(b.begin(), b.end()));
}

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string gzip(const std::string& plain) {
  const fs::path tmp = fs::temp_directory_path() / "kvfuzz-seed.gz";
  gzFile f = gzopen(tmp.c_str(), "wb");
  if (!plain.empty()) gzwrite(f, plain.data(), static_cast<unsigned>(plain.size()));
  gzclose(f);
  std::string out = readFile(tmp);
  fs::remove(tmp);
  return out;
}

/// The magic followed by the given bytes.
Bytes stream(std::initializer_list<uint8_t> body) {
  Bytes b(usbenc::MAGIC, usbenc::MAGIC + 8);
  b.insert(b.end(), body);
  return b;
}

/// Count bytes that lengthen the sample before them by e ticks: a start byte with the low six
/// bits, then extension bytes of five bits each with the multiplier stepping by six bits.
void appendCount(Bytes& b, uint64_t e) {
  b.push_back(static_cast<uint8_t>(0x80 | (e & 0x3F)));
  e >>= 6;
  while (e) {
    b.push_back(static_cast<uint8_t>(0xC0 | (e & 0x1F)));
    e >>= 6;
  }
}

/// Raw streams: for the stream target and for the decode script, which decodes them too.
void rawSeeds(const fs::path& captures) {
  std::vector<std::pair<std::string, Bytes>> seeds;
  for (const char* name : {"cp2102_setup_with_outdata_nak", "olimex_stm32-h103_usb_hid",
                           "usb_failed_setup_fullspeed", "cp2110_serial_over_hid_ut612"}) {
    std::string s = readFile(captures / (std::string(name) + ".raw"));
    if (s.size() > MAX_RAW_SEED) s.resize(MAX_RAW_SEED);
    seeds.emplace_back(std::string("capture_") + name, Bytes(s.begin(), s.end()));
  }

  {  // a whole enumeration, with NAKed stages
    usbenc::Bus bus;
    usbenc::Host host(bus);
    usbenc::enumerateHid(host, 5, 1);
    seeds.emplace_back("enc_enumeration", bus.takeStream());
  }
  for (uint64_t seed : {1, 2}) {  // protocol-correct random traffic
    usbenc::Bus bus;
    usbenc::Host host(bus);
    usbenc::randomTraffic(host, seed, 4);
    Bytes s = bus.takeStream();
    if (s.size() > MAX_RAW_SEED) s.resize(MAX_RAW_SEED);
    seeds.emplace_back("enc_traffic_" + std::to_string(seed), s);
  }
  {  // random events with every kind of fault, odd PIDs and stray SE0/SE1 runs
    usbenc::RandomOptions opt;
    opt.maxPayload = 64;
    opt.maxIdle = 20000;
    opt.faultRate = 0.4;
    opt.unpredictable = true;
    opt.oddPackets = true;
    seeds.emplace_back("enc_faults", usbenc::encode(usbenc::randomEvents(7, 80, opt)).stream);
  }
  {  // the longest legal data packet, a control transfer that never closes, SOF runs
    usbenc::Bus bus;
    Bytes payload(1023);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
    bus.add(usbenc::sof(1)).add(usbenc::sof(2)).add(usbenc::sof(3));
    bus.add(usbenc::setup(1, 0)).add(usbenc::data0({0x80, 6, 0, 1, 0, 0, 0xFF, 0xFF})).add(usbenc::ack());
    for (int i = 0; i < 40; ++i) bus.add(usbenc::in(1, 0)).add(usbenc::nak());
    bus.add(usbenc::in(1, 0)).add(usbenc::data1(payload)).add(usbenc::ack());
    bus.add(usbenc::reset(usbenc::MAX_RUN_TICKS));
    seeds.emplace_back("enc_long_packet_open_transfer", bus.takeStream());
  }

  // Hand-made: counts at the 32-bit limit and beyond, on a reset, an idle and inside a packet.
  {
    Bytes b = stream({0x40});  // three SE0 samples: a reset
    appendCount(b, I32_MAX - 6);
    b.push_back(0x3F);  // the idle after it, longer than a count can say
    appendCount(b, uint64_t{1} << 40);
    seeds.emplace_back("odd_counts_32bit", b);
  }
  {
    Bytes b = stream({0x15});  // K J K J K J, then a K run of 2^31 ticks
    b.push_back(0x00);
    appendCount(b, I32_MAX);
    b.push_back(0x7F);  // SE1 SE1 SE1 inside it, then the end of packet
    appendCount(b, I32_MAX);
    b.insert(b.end(), {0x42, 0x3F});
    seeds.emplace_back("odd_long_packet", b);
  }
  seeds.emplace_back("odd_header_only", stream({0x80, 0xC5}));
  seeds.emplace_back("odd_count_bytes_where_symbols_are_due", stream({0x85, 0x3F, 0x81, 0xE1, 0xFF, 0x15, 0x42, 0xDF}));
  seeds.emplace_back("odd_se0_runs", stream({0x40, 0x42, 0x3F, 0x40, 0x4D}));

  for (const auto& [name, b] : seeds) {
    put("rawstream", name, b);
    put("decodescript", name, b);
  }
}

/// Row lines: every kind, values at their limits, broken fields, the longest lines.
std::vector<std::pair<std::string, std::string>> rowLines() {
  std::string longData = "2;D:3;TI:150039;DA:";
  for (int i = 0; i < 1023; ++i) longData += (i ? "," : "") + std::string("a5");
  longData += ";6F:1234;TL:4";
  std::string overlong = "0;D:11;TI:1;DA:";
  while (overlong.size() < 65520) overlong += "ff,";
  overlong += ";6P:0000;TL:1";
  return {
      {"kinds_transaction", "0;T:IN;X:2"},
      {"kinds_token", "  1;K:9;TI:24000;AD:5;EP:1;5P:0c;TL:6"},
      {"kinds_handshake", "  1;H:10;TI:24041;TL:8000"},
      {"kinds_transfer", "0;C:CONTROL;X:3"},
      {"kinds_setup_data", "    2;D:3;TI:150039;DA:80,06,00,01,00,00,40,00;6P:94dd;TL:4"},
      {"kinds_sof", "  1;S:5;TI:12;FR:100;5F:1a;TL:6"},
      {"kinds_sofgroup", "0;G:SOFgroup;X:26"},
      {"kinds_reset", "1;Y:Reset;TI:0;RL:120000;TL:7"},
      {"limits_u64", "0;Y:Reset;TI:18446744073709551615;RL:4294967295;TL:4294967295"},
      {"limits_beyond", "0;Y:Reset;TI:18446744073709551616;RL:4294967296;TL:-1"},
      {"limits_i32", "2147483647;K:-2147483648;TI:1;AD:2147483647;EP:-2147483648;5P:0x7fffffff;TL:0"},
      {"limits_depth_beyond", "2147483648;S:5;FR:2147483648"},
      {"limits_hex", "0;D:3;DA:0xFF,0A,100,-1;6P:0XFFFF"},
      {"odd_empty_da", "0;D:3;DA:;DA;DA:1:2;6P:0000;TL:1"},
      {"odd_fields", "0;;K::;AD:5:6;;EP:"},
      {"odd_transaction", "0;T:FOO;X:1"},
      {"odd_transaction_key", "3;X:IN"},
      {"odd_short", "0;"},
      {"odd_dash", "-1;K:9"},
      {"odd_blanks", "   7 ;H: 2 ;TI: 5\r"},
      {"longest_data_line", longData},
      {"line_at_64k", overlong},
  };
}

/// A sample file's text: magic, length line, body.
std::string sampleText(const std::string& body) {
  return "KVFMT01\n" + std::to_string(body.size()) + "\n" + body;
}

void sampleSeeds(const fs::path& captures) {
  // Mode byte 0x00: the file as it stands; 0x01: the target compresses the rest.
  const std::string asIs(1, '\0'), compress(1, '\1');
  for (const char* name : {"cp2102_setup_with_outdata_nak", "olimex_stm32-h103_usb_hid",
                           "usb_failed_setup_fullspeed"}) {
    const std::string body = readFile(captures / (std::string(name) + ".rows.txt"));
    put("samplefile", std::string("gz_") + name, asIs + gzip(sampleText(body)));
    put("samplefile", std::string("plain_") + name, compress + sampleText(body));
  }
  // A gzip stream cut short, and one with a damaged byte in its middle.
  const std::string small = gzip(sampleText(readFile(captures / "olimex_stm32-h103_usb_hid.rows.txt")));
  put("samplefile", "gz_cut", asIs + small.substr(0, small.size() / 2));
  std::string damaged = small;
  damaged[damaged.size() / 2] = static_cast<char>(damaged[damaged.size() / 2] ^ 0x55);
  put("samplefile", "gz_damaged", asIs + damaged);

  // Nesting: transactions down to the deepest open level and one beyond it, each with a packet.
  std::string nest;
  for (int d = 0; d <= TdataIO::MAX_LEVELS; ++d) {
    nest += std::string(2 * static_cast<size_t>(d), ' ') + std::to_string(d) + ";T:SETUP;X:1\n";
    nest += std::to_string(d + 1) + ";H:2;TI:" + std::to_string(d) + ";TL:1\n";
  }
  put("samplefile", "nesting_at_limit", compress + sampleText(nest));
  put("decodescript", "body_nesting_at_limit", nest);
  // Rows without a parent, a group whose level skips one, blank lines, no final newline.
  put("samplefile", "orphans", compress + sampleText("1;H:2;TI:1;TL:1\n2;T:IN;X:0\n\n\n0;C;X:1\n 1;T:OUT\n3;K:1\n0;S:5;FR:1"));
  put("samplefile", "length_line_12_digits", compress + "KVFMT01\n123456789012\n0;H:2;TI:1;TL:1\n");
  put("samplefile", "length_line_letter", compress + "KVFMT01\n12a\n0;H:2;TI:1;TL:1\n");
  put("samplefile", "seven_bytes", compress + "KVFMT01");
  put("samplefile", "magic_only", compress + "KVFMT01\n0\n");

  std::string lines;
  for (const auto& [name, line] : rowLines()) {
    put("rowline", name, line);
    if (line.size() < 4096) lines += line + "\n";
  }
  put("samplefile", "every_row_line", compress + sampleText(lines));

  // Odd trees for the decode script: a transaction holding rows of every kind, a transfer whose
  // SETUP payload is short or holds values out of range, PIDs outside the table, a transfer of
  // many transactions that never closes.
  put("decodescript", "body_odd_transaction",
      "0;T:SETUP;X:5\n1;Y:Reset;TI:1;RL:2;TL:3\n1;G:SOFgroup\n2;S:5;FR:1\n1;C\n1;H:99\n1;D:-7;DA:01\n");
  put("decodescript", "body_odd_transfer",
      "0;C:CONTROL\n 1;T:SETUP\n  2;K:13;AD:-1;EP:2147483647\n  2;D:3;DA:80,06,00\n  2;H:2\n"
      " 1;T:IN\n  2;D:11;DA:01,02;6F:ffff\n  2;H:2\n 1;T:OUT\n  2;D:3;DA:\n  2;H:2\n"
      "0;C:CONTROL\n 1;T:SETUP\n  2;D:3;DA:ff,ff,ff,ff,ff,ff,ff,ff\n  2;H:14\n 1;G\n");
  std::string open = "0;C:CONTROL\n 1;T:SETUP\n  2;K:13;AD:1\n  2;D:3;DA:80,06,00,01,00,00,ff,ff\n  2;H:2\n";
  for (int i = 0; i < 100; ++i) open += " 1;T:IN\n  2;K:9;AD:1\n  2;D:11;DA:01,02,03,04,05,06,07,08\n  2;H:2\n";
  put("decodescript", "body_open_transfer", open);
  put("decodescript", "body_every_row_line", lines);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <captures dir> <corpus dir>\n", argv[0]);
    return 2;
  }
  gOut = argv[2];
  rawSeeds(argv[1]);
  sampleSeeds(argv[1]);
  return 0;
}
