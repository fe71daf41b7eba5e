// Benchmarks of the right-hand panes at scale: decode strings of many paragraphs, of one very long
// paragraph and of a long table, and raw data dumps of large transfers. Each figure runs from the
// call to the end of the layout it causes: the event loop is drained until it stays idle.
#include "bench_gui_panes.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/frame.h>
#include <wx/splitter.h>

#include "kvdecode.h"
#include "kvdpane.h"
#include "kvglobs.h"

namespace {

using Clock = std::chrono::steady_clock;

// The main window's right column at its starting size on a full-HD screen.
constexpr int FRAME_WIDTH = 1920;
constexpr int FRAME_HEIGHT = 1080;
constexpr int RIGHT_COLUMN = 420;
constexpr int RAW_PANE_HEIGHT = 220;
constexpr int SASH_STEP = 60;  // a sash move narrows or widens the right column by this much
/// The event loop counts as idle once nothing arrived for this long.
constexpr auto QUIET = std::chrono::milliseconds(50);
constexpr int ITERATIONS = 3;  // KV_BENCH_ITERS sets another count; smoke runs (KV_BENCH_SMOKE) one

int iterations() {
  if (const char* s = std::getenv("KV_BENCH_ITERS")) return std::max(1, std::atoi(s));
  return std::getenv("KV_BENCH_SMOKE") ? 1 : ITERATIONS;
}

/// Workload sizes in percent of the full ones (KV_BENCH_PANE_SCALE), for a bounded look at code
/// that takes minutes at full size.
size_t scaled(size_t full) {
  const char* s = std::getenv("KV_BENCH_PANE_SCALE");
  const int percent = s ? std::max(1, std::atoi(s)) : 100;
  return std::max<size_t>(1, full * static_cast<size_t>(percent) / 100);
}

/// Runs the event loop until it has been idle for QUIET; returns the time of the last event
/// handled.
Clock::time_point settle() {
  wxEventLoopBase* loop = wxEventLoopBase::GetActive();
  std::unique_ptr<wxEventLoopBase> own;
  if (!loop) {
    own = std::make_unique<wxGUIEventLoop>();
    wxEventLoopBase::SetActive(own.get());
    loop = own.get();
  }
  auto last = Clock::now();
  for (;;) {
    bool busy = false;
    while (loop->Pending()) {
      loop->Dispatch();
      busy = true;
    }
    if (wxTheApp->HasPendingEvents()) {
      wxTheApp->ProcessPendingEvents();
      busy = true;
    }
    if (busy) last = Clock::now();
    if (Clock::now() - last >= QUIET) break;
    if (loop->DispatchTimeout(5) > 0) last = Clock::now();
  }
  if (own) wxEventLoopBase::SetActive(nullptr);
  return last;
}

/// The right column of the main window: the decode pane over the raw data pane, beside a
/// stand-in for the tree, each side behind a splitter as in the program.
struct Panes {
  wxFrame* frame;
  wxSplitterWindow* main;
  TdecodePane* decode;
  TdataPane* raw;

  Panes() : frame(new wxFrame(nullptr, wxID_ANY, "panes", wxPoint(0, 0), wxSize(FRAME_WIDTH, FRAME_HEIGHT))) {
    main = new wxSplitterWindow(frame, wxID_ANY);
    main->SetMinimumPaneSize(100);
    auto* right = new wxSplitterWindow(main, wxID_ANY);
    decode = new TdecodePane(right);
    raw = new TdataPane(right, wxID_ANY);
    right->SplitHorizontally(decode, raw, -RAW_PANE_HEIGHT);
    main->SplitVertically(new wxPanel(main), right, -RIGHT_COLUMN);
    frame->Show();
    settle();
  }
  ~Panes() {
    frame->Destroy();
    settle();
  }
  Panes(const Panes&) = delete;
  Panes& operator=(const Panes&) = delete;
};

/// Times fn and the layout it causes once per iteration; setup runs untimed before each.
template <class Fn, class Setup>
void timeCalls(benchmark::State& st, Setup setup, Fn fn) {
  double callSeconds = 0;
  for (auto _ : st) {
    setup();
    settle();
    const auto t0 = Clock::now();
    fn();
    callSeconds += std::chrono::duration<double>(Clock::now() - t0).count();
    st.SetIterationTime(std::chrono::duration<double>(settle() - t0).count());
  }
  // The part of the figure spent in the call itself, before the event loop ran again.
  st.counters["call_ms"] = 1000 * callSeconds / static_cast<double>(st.iterations());
}

std::string paragraphs(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    char buf[160];
    std::snprintf(buf, sizeof buf,
                  "SParagraph %zu of the decode string: a sentence long enough to wrap into two or "
                  "three lines in the pane;", i);
    s += buf;
  }
  return s;
}

std::string longParagraph(size_t bytes) {
  std::string s = "S";
  for (int i = 0; s.size() < bytes; ++i) s += "word" + std::to_string(i % 1000) + ' ';
  s.resize(bytes);
  return s;
}

/// A payload table as the shipped script writes it: offset and 16 bytes a line.
std::string payloadTable(size_t lines) {
  std::string s = "TPayload\nOffset#Bytes";
  for (size_t l = 0; l < lines; ++l) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\n%04zx#", l * 16);
    s += buf;
    for (int b = 0; b < 16; ++b) {
      std::snprintf(buf, sizeof buf, b ? " %02zx" : "%02zx", (l * 16 + static_cast<size_t>(b)) & 0xff);
      s += buf;
    }
  }
  return s;
}

/// A click on a row of this decode string after one of a short paragraph.
void timeRender(benchmark::State& st, const std::string& decode) {
  Panes p;
  timeCalls(st, [&] { p.decode->render("Sbefore"); }, [&] { p.decode->render(decode); });
}

void decodeParagraphs(benchmark::State& st) {
  const size_t n = scaled(2000);
  timeRender(st, paragraphs(n));
  st.counters["paragraphs"] = static_cast<double>(n);
}

void decodeLongParagraph(benchmark::State& st) {
  const std::string decode = longParagraph(scaled(200 * 1000));
  timeRender(st, decode);
  st.counters["bytes"] = static_cast<double>(decode.size());
}

// Sash moves with this decode string shown: the right column gets narrower or wider and the
// move is published, as a user's drag of the sash does.
void timeSashMoves(benchmark::State& st, const std::string& decode) {
  Panes p;
  p.decode->render(decode);
  settle();
  int step = SASH_STEP;
  timeCalls(st, [] {}, [&] {
    p.main->SetSashPosition(p.main->GetSashPosition() + step);
    step = -step;
    _G.pub(msgSplitterChanged, 0);
  });
}

void decodeLongParagraphSash(benchmark::State& st) {
  const std::string decode = longParagraph(scaled(200 * 1000));
  timeSashMoves(st, decode);
  st.counters["bytes"] = static_cast<double>(decode.size());
}

// Every paragraph wraps again at the new width.
void decodeParagraphsSash(benchmark::State& st) {
  const size_t n = scaled(2000);
  timeSashMoves(st, paragraphs(n));
  st.counters["paragraphs"] = static_cast<double>(n);
}

void decodeLongTable(benchmark::State& st) {
  const size_t lines = scaled(4096);
  timeRender(st, payloadTable(lines));
  st.counters["lines"] = static_cast<double>(lines);
}

void rawDump(benchmark::State& st, size_t full) {
  Panes p;
  const size_t bytes = scaled(full);
  std::vector<uint8_t> data(bytes);
  for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<uint8_t>(i * 13);
  timeCalls(st, [&] { p.raw->renderPacket({}); }, [&] { p.raw->renderPacket(data); });
  st.counters["bytes"] = static_cast<double>(bytes);
}

}  // namespace

void registerPaneBenchmarks() {
  const auto reg = [](const char* name, void (*fn)(benchmark::State&)) {
    benchmark::RegisterBenchmark(name, fn)
        ->UseManualTime()
        ->Iterations(iterations())
        ->Unit(benchmark::kMillisecond);
  };
  reg("decode_2000_paragraphs", decodeParagraphs);
  reg("decode_paragraph_200KB", decodeLongParagraph);
  reg("decode_2000_paragraphs_sash_move", decodeParagraphsSash);
  reg("decode_paragraph_200KB_sash_move", decodeLongParagraphSash);
  reg("decode_table_4096_lines", decodeLongTable);
  reg("raw_dump_64KB", [](benchmark::State& st) { rawDump(st, 64 * 1024); });
  reg("raw_dump_192KB", [](benchmark::State& st) { rawDump(st, 192 * 1024); });
}
