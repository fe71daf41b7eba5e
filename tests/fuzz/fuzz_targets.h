// Fuzz target bodies, shared by the libFuzzer programs and the test that replays their inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kvfuzz {

/// One fuzz target: a name (the program is fuzz_<name>, its corpus tests/fuzz/corpus/<name>)
/// and a body that takes one input and returns a fault description, empty when all went well.
struct Ttarget {
  const char* name;
  std::string (*run)(const uint8_t* data, size_t size);
};

/// Every target.
const std::vector<Ttarget>& targets();
/// The target of that name, or null.
const Ttarget* findTarget(const std::string& name);

/// Raw capture stream through events, tree and flat list; then each row's row line (which must
/// read back to itself) and box string. Also checks that no event is lost on the way.
std::string rawStream(const uint8_t* data, size_t size);
/// One row line through rowutils::fromString; a row it gives must write a line that reads back
/// to the same line, and must give a box string.
std::string rowLine(const uint8_t* data, size_t size);
/// Sample-file bytes through TdataIO::loadLinearFile. Byte 0 picks the form: bit 0 clear, the
/// rest is the file as it is (plain or already gzip); bit 0 set, the rest is gzip-compressed
/// first. Every loaded row must give its row line and box string.
std::string sampleFile(const uint8_t* data, size_t size);
/// The shipped decode script on every row: a raw stream (an input that starts with the stream
/// magic) or a sample-file body (anything else) is turned into rows, and every row's decode
/// string must be in the decode-pane grammar, never a script error or a budget stop.
std::string decodeScript(const uint8_t* data, size_t size);

/// Path of the shipped decode script: $KV_DECODE_SCRIPT, else the one in the source tree.
std::string scriptPath();

}  // namespace kvfuzz
