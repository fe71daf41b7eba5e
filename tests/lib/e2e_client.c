/* A C client of the installed libvexacore: one capture through the whole calling order, every row written out. */
#define _POSIX_C_SOURCE 200809L

#include <libvexa.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

/* Bounds of the waits: guards against hangs, wide enough for sanitized builds. */
#define INIT_DEADLINE_S 120.0
#define CAPTURE_DEADLINE_S 120.0
#define POLL_NS 10000000L

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void pause_poll(void) {
  struct timespec t = {0, POLL_NS};
  nanosleep(&t, NULL);
}

static int fail(const char* what) {
  fprintf(stderr, "e2e_client: %s\n", what);
  return 1;
}

/* Usage: e2e_client <output file> <capture size in bytes> */
int main(int argc, char** argv) {
  if (argc != 3) return fail("usage: e2e_client <output file> <bytes>");
  const uint32_t needed = (uint32_t)strtoul(argv[2], NULL, 10);
  FILE* out = fopen(argv[1], "w");
  if (!out) return fail("cannot create the output file");

  char ver[LIBVEXA_VERLEN];
  if (version(NULL, 0) != LIBVEXA_VERLEN || version(ver, sizeof ver) != LIBVEXA_VERLEN ||
      strcmp(ver, versionX()) != 0)
    return fail("version");

  void* h = sniffInit();
  if (!h) return fail("sniffInit gave no handle");

  /* Wait for the hardware-changed event that reports the probe ready. */
  int status = getHardwareStatus(h);
  for (const double end = now() + INIT_DEADLINE_S; status != LIBVEXA_HW_STATUS_OK; pause_poll()) {
    if (now() > end) return fail("the probe did not become ready");
    if (getHardwareChanged(h)) status = getHardwareStatus(h);
  }
  const uint32_t serialLen = getSerial(h, NULL, 0);
  char* serial = malloc(serialLen);
  if (!serial || getSerial(h, serial, serialLen) != serialLen) return fail("getSerial");
  fprintf(out, "serial %s\n", serial);
  free(serial);

  setNeeded(h, needed);
  if (setConnect(h, 1) != 1) return fail("setConnect");
  setRun(h, 1);
  uint64_t count = 0;
  for (const double end = now() + CAPTURE_DEADLINE_S;; pause_poll()) {
    if (now() > end) return fail("the capture did not end");
    const uint64_t c = getCaptureCount(h);
    if (c < count) return fail("the capture count went down");
    count = c;
    if (getCaptureDone(h)) break;
  }
  if (getCaptureDone(h) != 0) return fail("getCaptureDone reported one capture twice");
  count = getCaptureCount(h);
  fprintf(out, "capture %llu\n", (unsigned long long)count);

  if (startDecode(h) != 1 || getDecodeDone(h) != 1 || getDecodeDone(h) != 1)
    return fail("the decode failed");
  if (getDecodedCount(h) > count) return fail("decoded past the capture");

  const uint32_t n = getPacketDataRowCount(h);
  fprintf(out, "rows %u\n", n);
  const void* previous = NULL;
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t len = getPacketDataRow(h, i, NULL, 0);
    char* line = malloc(len);
    if (!line || len == 0 || getPacketDataRow(h, i, line, len) != len) return fail("getPacketDataRow");
    const char* x = getPacketDataRowX(h, i);
    if (!x || strcmp(x, line) != 0) return fail("getPacketDataRowX differs from getPacketDataRow");
    fprintf(out, "R %s", line);
    free(line);
    const char* boxes = getBoxStrX(h, i);
    if (!boxes) return fail("getBoxStrX");
    fprintf(out, "B %s", boxes);
    const void* row = linix2rowptr(h, i);
    if (!row || row == previous) return fail("linix2rowptr");
    previous = row;
  }
  char empty[4] = "xxx";
  if (getPacketDataRow(h, n, empty, sizeof empty) != 0 || empty[0] != '\0' ||
      getPacketDataRowX(h, n) || getBoxStrX(h, n) || linix2rowptr(h, n))
    return fail("a row past the end");

  sniffEnd(h);
  if (fclose(out) != 0) return fail("cannot write the output file");
  return 0;
}
