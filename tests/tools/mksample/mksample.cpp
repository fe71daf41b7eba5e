// Sample-file maker: decodes a raw capture stream file and saves its rows as a sample file.
#include <cstdio>
#include <memory>
#include <string>

#include "kvdataio.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <raw capture stream> <sample file to write>\n", argv[0]);
    return 2;
  }
  auto events = std::make_shared<TrowVec>();
  auto roots = std::make_shared<TrowVec>();
  auto lin = std::make_shared<TlinRowVec>();
  TdataIO decoder;
  if (decoder.loadRawFile(argv[1], events, roots, lin) == 0) {
    std::fprintf(stderr, "%s: %s decodes into no rows\n", argv[0], argv[1]);
    return 1;
  }
  // A fresh object for the save, as the desktop program does.
  TdataIO writer;
  const uint32_t written = writer.saveLinearToFile(lin, argv[2]);
  if (written != lin->size()) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[2]);
    return 1;
  }
  std::printf("%s: %u rows from %s\n", argv[2], written, argv[1]);
  return 0;
}
