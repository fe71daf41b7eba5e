/* libvexacore: C interface to probe capture, decoding and row read-out on an opaque handle. */
#pragma once

/*
 * Usable from C (C99 and later) and C++. Link with the flags of `pkg-config --libs libvexacore`.
 *
 * Calling order of a capture:
 *   h = sniffInit();
 *   poll getHardwareChanged(h) and getHardwareStatus(h) until the status is 0;
 *   setNeeded(h, bytes); optionally setConnect(h, 1); setRun(h, 1);
 *   poll getCaptureCount(h) and getCaptureDone(h) (setStop(h, 1) ends the capture early);
 *   startDecode(h);
 *   n = getPacketDataRowCount(h), then per row getPacketDataRow / getPacketDataRowX,
 *   getBoxStrX or linix2rowptr;
 *   sniffEnd(h).
 * sampleFileRead(h, path) takes the place of capture and decode.
 *
 * Text buffers: getSerial and getPacketDataRow return the size n the text needs with its
 * terminating zero and copy it only when buf is not NULL and len is at least n; call them with
 * len 0 to learn n, then again with a buffer of n bytes.
 *
 * Returned pointers stay owned by the library:
 *   - texts of the functions whose names end in X live in one buffer shared by the whole
 *     process and stay valid until the next X call on any handle;
 *   - row pointers from linix2rowptr stay valid until the next startDecode or successful
 *     sampleFileRead on that handle, or sniffEnd.
 *
 * Threads: every call runs on the caller's thread; startDecode blocks it for the whole decode,
 * sniffInit for 2 seconds and sniffEnd until the capture thread has ended. No lock is taken:
 *   - the flag and count calls (setRun, setStop, getRun, getStop, getCaptureDone,
 *     getHardwareChanged, getCaptureCount, getHardwareStatus, getSerial, getDecodeDone,
 *     getDecodedCount, setConnect) may be made from any thread, also while another thread is
 *     inside startDecode on the same handle;
 *   - setNeeded only while no capture runs on the handle;
 *   - a capture requested (setRun) while another thread is inside startDecode on the handle
 *     starts only when that decode has ended, so the decode reads the capture it started on;
 *   - startDecode only after getCaptureDone has reported the capture (or before any capture);
 *     one called while a capture runs waits for it to end;
 *   - the row calls (getPacketDataRowCount, getPacketDataRow, linix2rowptr and the X calls) on
 *     a handle never overlap startDecode or sampleFileRead on that handle;
 *   - the X calls (versionX, getSerialX, getPacketDataRowX, getBoxStrX) are never made from
 *     two threads at once, on any handles;
 *   - sniffEnd is the last call on a handle, made when no other call on it is running.
 * Every call except version, versionX, sniffInit and sniffEnd needs a handle that sniffInit
 * returned and sniffEnd has not yet destroyed.
 */

#include <stdint.h>

#if defined(LIBVEXA_BUILDING)
#define LIBVEXA_API __attribute__((visibility("default")))
#else
#define LIBVEXA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** Length of the version text's array: the text and its zero padding. */
#define LIBVEXA_VERLEN 41

/** Hardware status codes of getHardwareStatus. */
#define LIBVEXA_HW_STATUS_OK 0
#define LIBVEXA_HW_STATUS_NOT_FOUND (-1)
#define LIBVEXA_HW_STATUS_INIT_FAILED (-2)
#define LIBVEXA_HW_STATUS_NO_MEMORY (-5)

/**
 * Copies the 41-byte version array (the text, zero padded) into buf when buf is not NULL and
 * len is at least 41; always returns 41.
 */
LIBVEXA_API uint32_t version(char* buf, uint32_t len);
/** The version text (up to its first zero byte), in the shared X buffer. */
LIBVEXA_API const char* versionX(void);

/**
 * A new handle. The handle's capture thread starts at once (it opens the probe and loads its
 * firmware); the call returns after 2 seconds. Without a probe the handle works and reports
 * hardware status -1. NULL only when the handle could not be created at all (out of memory,
 * no thread).
 */
LIBVEXA_API void* sniffInit(void);
/** Destroys the handle, ending a running capture and waiting for the capture thread. NULL is ignored. */
LIBVEXA_API void sniffEnd(void* h);

/**
 * Connects (on != 0) or disconnects the device under test from the host through the probe.
 * 1 when the probe took the request, else 0 (also without a probe).
 */
LIBVEXA_API int setConnect(void* h, int on);
/** Sets (on != 0) or clears the request to start a capture. */
LIBVEXA_API void setRun(void* h, int on);
/** Sets (on != 0) or clears the request to end the running capture. */
LIBVEXA_API void setStop(void* h, int on);
/** 1 while the run request is set and not yet taken up by the capture thread, else 0. */
LIBVEXA_API int getRun(void* h);
/** 1 while the stop request is set, else 0. */
LIBVEXA_API int getStop(void* h);
/**
 * 1 once per finished capture (reading clears it), else 0. A capture that a read error or an
 * unplugged probe ended early is finished too: getCaptureCount then gives the bytes captured
 * before the fault, and startDecode decodes them. After an unplug, getHardwareChanged follows
 * with status -1 once the capture thread has looked for the probe again.
 */
LIBVEXA_API int getCaptureDone(void* h);
/** 1 once per change of the hardware status (reading clears it), else 0. */
LIBVEXA_API int getHardwareChanged(void* h);
/**
 * Capture size for the next capture, in bytes; a capture keeps the size rounded down to a
 * multiple of 1024 (sizes above 4294965247 count as that). Call only while no capture runs.
 * Sets the size only: the last capture and its count stay, so startDecode still decodes it.
 * The capture buffer keeps older bytes beyond the next capture's count; they are never decoded.
 */
LIBVEXA_API void setNeeded(void* h, uint32_t bytes);
/** Bytes captured so far in the current or last capture. */
LIBVEXA_API uint64_t getCaptureCount(void* h);
/** 0 ready, -1 probe not found, -2 initialisation failed, -5 capture buffer allocation failed. */
LIBVEXA_API int getHardwareStatus(void* h);
/**
 * The probe's serial text ("unavailable" without a probe): returns n = its length + 1 and
 * copies the text with its zero when buf is not NULL and len is at least n.
 */
LIBVEXA_API uint32_t getSerial(void* h, char* buf, uint32_t len);
/** The probe's serial text in the shared X buffer. */
LIBVEXA_API const char* getSerialX(void* h);

/**
 * Decodes the bytes of the last capture (exactly its getCaptureCount bytes) into the handle's
 * rows, replacing the rows there were; returns when the decode has ended. 1 when it succeeded,
 * 0 when it failed (out of memory, or the decode would not fit into the memory the system can
 * give, which is found before it is taken): the handle then holds no rows, and the capture's
 * bytes stay, so a later startDecode decodes them again.
 */
LIBVEXA_API int startDecode(void* h);
/** 1 when the last decode succeeded (stays 1 until the next decode), else 0. */
LIBVEXA_API int getDecodeDone(void* h);
/** Decode progress: the position in the capture bytes that the decoder has reached. */
LIBVEXA_API uint64_t getDecodedCount(void* h);

/** Number of rows (the flat list: the row tree in pre-order). */
LIBVEXA_API uint32_t getPacketDataRowCount(void* h);
/**
 * The text line of row ix, ending in a line feed: returns n = its length + 1 and copies it
 * with its zero when buf is not NULL and len is at least n. ix out of range: returns 0 and,
 * when buf is not NULL and len at least 1, stores a zero in buf[0].
 */
LIBVEXA_API uint32_t getPacketDataRow(void* h, uint32_t ix, char* buf, uint32_t len);
/** The text line of row ix in the shared X buffer; NULL (buffer unchanged) when ix is out of range. */
LIBVEXA_API const char* getPacketDataRowX(void* h, uint32_t ix);
/**
 * The boxes of row ix as one line of text, in the shared X buffer; NULL (buffer unchanged)
 * when ix is out of range or the entry holds no row. Each box reads
 * "g<gap>,w<width>,t<lines>|s<text colour>,<fill colour>,<text>[|s...]" and ends in ";".
 */
LIBVEXA_API const char* getBoxStrX(void* h, uint32_t ix);
/**
 * The row object of row ix, owned by the handle; NULL when ix is out of range or the entry
 * holds no row. Opaque: only C++ code built with this project's core headers, by the same
 * build as the library, may use it as a `const Tbase*`.
 */
LIBVEXA_API const void* linix2rowptr(void* h, uint32_t ix);
/**
 * Loads a sample file (".kvd") in place of a capture and decode: returns the number of rows
 * it gave, or 0 when nothing was loaded (unreadable, not a sample file, no rows); the earlier
 * rows then stay.
 */
LIBVEXA_API uint32_t sampleFileRead(void* h, const char* path);

/**
 * The handle's capture-thread object. Opaque: only C++ code built with this project's core
 * headers, by the same build as the library, may use it as a `TloThread*`.
 */
LIBVEXA_API void* loh(void* h);
/**
 * The handle's decode-pipeline object. Opaque: only C++ code built with this project's core
 * headers, by the same build as the library, may use it as a `TexThread*`.
 */
LIBVEXA_API void* exh(void* h);

#ifdef __cplusplus
}
#endif

