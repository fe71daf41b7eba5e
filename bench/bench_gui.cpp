// Drawing benchmarks of the desktop program: a row drawn on a cache miss, a repaint of a full-HD
// pane of cached rows, a repaint of the tree view at the smallest zoom, and a show-filter toggle
// on a million rows. Needs a display (xvfb-run).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include <wx/app.h>
#include <wx/dcmemory.h>
#include <wx/evtloop.h>
#include <wx/frame.h>
#include <wx/init.h>
#include <wx/sizer.h>

#include "bench_common.h"
#include "bench_gui_panes.h"
#include "kvdataio.h"
#include "kvdecode.h"
#include "kvdpane.h"
#include "kvglobs.h"
#include "kvmainframe.h"
#include "kvrawgrp.h"
#include "kvrcache.h"
#include "kvtree.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int PANE_WIDTH = 1920;
constexpr int PANE_HEIGHT = 1080;
constexpr int FONT_POINTS = 12;
/// Flat rows of the filter workload (KV_BENCH_MB=N makes it N x 10,000 for smoke runs).
constexpr size_t FULL_ROWS = 1000000;

double since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// ---- workload: a capture of the usual mix, repeated ----

TrowPtr token(int pid, unsigned addr, unsigned endp) {
  auto t = std::make_shared<Ttoken>();
  t->pid = pid;
  t->addr = addr;
  t->endp = endp;
  return t;
}
TrowPtr data(int pid, size_t n) {
  auto d = std::make_shared<Tdata>();
  d->pid = pid;
  for (size_t i = 0; i < n; ++i) d->data.push_back(static_cast<uint8_t>(i * 7));
  return d;
}
TrowPtr handshake(int pid) {
  auto h = std::make_shared<Thandshake>();
  h->pid = pid;
  return h;
}

/// Events of one period: 30 SOFs, five NAKed INs to an interrupt endpoint, a GET_DESCRIPTOR
/// control transfer with its data and status stages, and an OUT with 64 bytes.
void appendPeriod(TrowVec& ev, uint64_t& tick, uint32_t& frame) {
  const auto add = [&](TrowPtr r) {
    r->strt = tick;
    tick += 600;
    ev.push_back(std::move(r));
  };
  for (int i = 0; i < 30; ++i) {
    auto s = std::make_shared<Tsof>();
    s->pid = PID_SOF;
    s->frame = frame++ & 0x7ff;
    add(s);
  }
  for (int i = 0; i < 5; ++i) {
    add(token(PID_IN, 3, 1));
    add(handshake(PID_NAK));
  }
  add(token(PID_SETUP, 3, 0));
  auto setup = std::make_shared<Tdata>();
  setup->pid = PID_DATA0;
  setup->data = {0x80, 6, 0, 1, 0, 0, 18, 0};
  add(setup);
  add(handshake(PID_ACK));
  add(token(PID_IN, 3, 0));
  add(data(PID_DATA1, 18));
  add(handshake(PID_ACK));
  add(token(PID_OUT, 3, 0));
  add(data(PID_DATA1, 0));
  add(handshake(PID_ACK));
  add(token(PID_OUT, 3, 2));
  add(data(PID_DATA0, 64));
  add(handshake(PID_ACK));
}

/// About `rows` flat rows of that mix, as the tree roots and the flat list of a capture.
TcaptureResult makeCapture(size_t rows) {
  auto events = std::make_shared<TrowVec>();
  uint64_t tick = 0;
  uint32_t frame = 0;
  TcaptureResult r{true, std::make_shared<TrowVec>(), std::make_shared<TlinRowVec>()};
  TdataIO io;
  // One period gives 1 SOF group + 30 SOFs + 5 x 3 + transfer (1 + 3 x 4) + 4 = 63 flat rows.
  while (events->size() < rows * 58 / 63) appendPeriod(*events, tick, frame);
  io.eventVecToTreeRootVec(events, r.treeVec);
  io.treeRootVecToLinVec(r.treeVec, r.linVec);
  return r;
}

size_t filterRows() {
  if (const char* mb = std::getenv("KV_BENCH_MB")) return std::max(1, std::atoi(mb)) * 10000u;
  return FULL_ROWS;
}

/// The row cache of a tree pane at the default font, with `rows` flat rows loaded.
struct Pane {
  wxFrame* frame;
  std::unique_ptr<TrowCache> cache;

  explicit Pane(size_t rows) : frame(new wxFrame(nullptr, wxID_ANY, "bench")) {
    wxFont font = frame->GetFont();
    font.SetPointSize(FONT_POINTS);
    frame->SetFont(font);
    cache = std::make_unique<TrowCache>();
    cache->init(frame, PANE_WIDTH);
    const TcaptureResult c = makeCapture(rows);
    cache->rData().setCaptureRunner([c] { return c; });
    cache->rData().doCapture();
    cache->rData().setCaptureRunner({});
  }
  ~Pane() {
    cache.reset();
    frame->Destroy();
  }
  int rowsPerScreen() const { return PANE_HEIGHT / cache->getRowHt() + 1; }
};

// One row drawn on a miss: boxes, texts and the decode string of every kind in turn.
void rowMiss(benchmark::State& st) {
  _G.showSOF = _G.showNAK = _G.showPackets = true;
  Pane pane(2000);
  TrowCache& rc = *pane.cache;
  const int n = rc.rData().rowCount();
  int ix = 0, used = 0, ht = 0;
  long drawnWidth = 0;
  for (auto _ : st) {
    rc.invalidateRow(ix);
    benchmark::DoNotOptimize(rc.getRowBitmap(ix, PANE_WIDTH, used, ht));
    drawnWidth += used;
    ix = (ix + 1) % n;
  }
  st.counters["row_px"] = static_cast<double>(drawnWidth) / static_cast<double>(st.iterations());
  st.counters["row_ht"] = rc.getRowHt();
}

// A repaint of a full-HD pane whose rows are all cached: each row's bitmap fetched from the
// cache and blitted into the pane, as the tree view's paint handler does.
void repaintCached(benchmark::State& st) {
  _G.showSOF = _G.showNAK = _G.showPackets = true;
  Pane pane(2000);
  TrowCache& rc = *pane.cache;
  const int rows = pane.rowsPerScreen();
  wxBitmap target(PANE_WIDTH, PANE_HEIGHT);
  wxMemoryDC dc(target);
  int used = 0, ht = 0;
  for (int r = 0; r < rows; ++r) rc.getRowBitmap(100 + r, PANE_WIDTH, used, ht);  // warm
  for (auto _ : st) {
    for (int r = 0; r < rows; ++r) {
      wxBitmap* b = rc.getRowBitmap(100 + r, PANE_WIDTH, used, ht);
      dc.DrawBitmap(*b, 0, r * ht);
    }
  }
  dc.SelectObject(wxNullBitmap);
  st.counters["rows"] = rows;
}

/// Runs the event loop until done() holds or five seconds passed; done() at the end.
bool settle(const std::function<bool()>& done) {
  wxGUIEventLoop loop;
  wxEventLoopBase::SetActive(&loop);
  const auto end = Clock::now() + std::chrono::seconds(5);
  while (!done() && Clock::now() < end) {
    loop.DispatchTimeout(10);
    wxTheApp->ProcessPendingEvents();
  }
  wxEventLoopBase::SetActive(nullptr);
  return done();
}

// The tree view itself on a 1920 x 1200 pane at the smallest zoom, where the most rows are on
// screen: a capture loaded through the hub, scrolled into it, then repainted again and again.
// Every row on screen is cached after the first paint, so a repaint should draw none.
void repaintSmallestZoom(benchmark::State& st) {
  constexpr int HEIGHT = 1200;
  _G.showSOF = _G.showNAK = _G.showPackets = true;
  const TpubSub hub = _G;  // the tree's subscriptions go when this is put back
  auto* frame = new wxFrame(nullptr, wxID_ANY, "bench");
  wxFont font = frame->GetFont();
  font.SetPointSize(FONT_POINTS);
  frame->SetFont(font);
  auto* dataPane = new TdataPane(frame, wxID_ANY);
  auto* decodePane = new TdecodePane(frame);
  dataPane->Hide();
  decodePane->Hide();
  auto* treePane = new TreePane(frame, *dataPane, *decodePane);
  auto* sizer = new wxBoxSizer(wxVERTICAL);
  sizer->Add(treePane, 1, wxEXPAND);
  frame->SetSizer(sizer);
  TreeMidPane* tree = treePane->midPane;
  frame->SetClientSize(PANE_WIDTH + treePane->scrollBar->GetSize().GetWidth() + 1, HEIGHT);
  frame->Show();
  if (!settle([&] { return tree->paneHeight == HEIGHT; }))
    st.SkipWithError("the tree pane did not get its size");

  treePane->zoom(MIN_FONT_POINT_SIZE);
  const TcaptureResult c = makeCapture(20000);
  tree->rowCache.rData().setCaptureRunner([c] { return c; });
  _G.pub(msgDoCapture, 0);
  tree->rowCache.rData().setCaptureRunner({});
  treePane->scrollBar->SetThumbPosition(tree->rowCache.rData().rowCount() / 2);

  wxBitmap target(tree->paneWidth, tree->paneHeight);
  wxMemoryDC dc(target);
  tree->doPaint(dc);  // the first paint draws every row on screen
  const size_t builtBefore = tree->rowCache.rowsBuilt();
  for (auto _ : st) tree->doPaint(dc);
  dc.SelectObject(wxNullBitmap);
  st.counters["pane_w"] = tree->paneWidth;
  st.counters["pane_h"] = tree->paneHeight;
  st.counters["rows"] = static_cast<double>(tree->paintedRows.size());
  st.counters["rows_drawn_per_repaint"] =
      static_cast<double>(tree->rowCache.rowsBuilt() - builtBefore) / static_cast<double>(st.iterations());
  delete frame;
  static_cast<TpubSub&>(_G) = hub;
}

// A show filter toggled on a large capture: all visibility forgotten, then the first screen of
// visible rows found from a top row in the middle of the capture.
void filterToggle(benchmark::State& st) {
  _G.showSOF = false;
  _G.showNAK = false;
  _G.showPackets = true;
  Pane pane(filterRows());
  TdisplData& dd = pane.cache->rData();
  const int screen = pane.rowsPerScreen();
  int found = 0;
  for (auto _ : st) {
    const auto t0 = Clock::now();
    _G.showSOF = !_G.showSOF;
    dd.resetVisibleRows();
    pane.cache->invalidateAll();
    int ix = dd.nearestVisibleRow(dd.rowCount() / 2);
    found = 0;
    while (ix >= 0 && found < screen) {
      ++found;
      ix = dd.nextVisibleRow(ix);
    }
    st.SetIterationTime(since(t0));
  }
  st.counters["flat_rows"] = dd.rowCount();
  st.counters["visible_found"] = found;
}

}  // namespace

int main(int argc, char** argv) {
  wxApp::SetInstance(new wxApp());
  int wxArgc = 1;
  char* wxArgv[] = {argv[0], nullptr};
  if (!wxEntryStart(wxArgc, wxArgv)) {
    std::fprintf(stderr, "bench_gui: no display; run it under xvfb-run\n");
    return 1;
  }
  benchmark::RegisterBenchmark("row_draw_on_miss", rowMiss)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("repaint_1920x1080_cached", repaintCached)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("repaint_1920x1200_smallest_zoom", repaintSmallestZoom)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("show_filter_toggle_first_screen", filterToggle)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  registerPaneBenchmarks();
  const int rc = kvbench::runMain(argc, argv);
  wxEntryCleanup();
  return rc;
}
