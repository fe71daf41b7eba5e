// USB access to the probe's FX2 microcontroller: open and claim, control and interrupt transfers, firmware load.
#include "kvfx2base.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

/// Wait after an open attempt that found or opened no device.
constexpr unsigned OPEN_FAIL_WAIT_MS = 500;
/// Wait after releasing the 8051 from reset, for the device to leave the bus.
constexpr unsigned REENUM_WAIT_MS = 2000;
/// Reopen attempts after a firmware download, and the wait before each.
constexpr int REOPEN_ATTEMPTS = 25;
constexpr unsigned REOPEN_WAIT_MS = 200;
/// blockRead waits at least this long, and one more millisecond per this many bytes beyond.
constexpr unsigned BLOCK_READ_MIN_TIMEOUT_MS = 5000;
constexpr size_t BLOCK_READ_BYTES_PER_MS = 512;
/// Value the configuration read starts from, so a read that stores nothing is not taken for 0.
constexpr int CONFIG_UNREAD = 99;

} // namespace

TFX2base::TFX2base()
    : usbDevice(nullptr), usbHandle(nullptr), vendorId(0), productId(0), deviceIndex(0),
      libusbReady(false) {
  libusbReady = libusb_init(nullptr) == 0;
}

TFX2base::~TFX2base() {
  close();
  if (libusbReady)
    libusb_exit(nullptr);
}

void TFX2base::milliSleep(unsigned ms) {
  if (ms > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool TFX2base::open(uint16_t vid, uint16_t pid, int index) {
  vendorId = vid;
  productId = pid;
  deviceIndex = index;

  if (!openX()) {
    milliSleep(OPEN_FAIL_WAIT_MS);
    return false;
  }
  int set = libusb_set_configuration(usbHandle, FX2_CONFIGURATION);
  // Linux refuses to set the configuration while a kernel driver holds interface 0. Such a
  // driver would be detached below anyway, so detach it first and set the configuration again.
  if (set == LIBUSB_ERROR_BUSY && libusb_kernel_driver_active(usbHandle, FX2_INTERFACE) == 1) {
    if (libusb_detach_kernel_driver(usbHandle, FX2_INTERFACE) != 0) {
      close();
      return false;
    }
    set = libusb_set_configuration(usbHandle, FX2_CONFIGURATION);
  }
  if (set != 0) {
    close();
    return false;
  }
  int config = CONFIG_UNREAD;
  if (libusb_get_configuration(usbHandle, &config) != 0) {
    close();
    return false;
  }
  // Some devices still report "unconfigured" after the first set; a second one takes.
  if (config == 0 && libusb_set_configuration(usbHandle, FX2_CONFIGURATION) != 0) {
    close();
    return false;
  }
  const int active = libusb_kernel_driver_active(usbHandle, FX2_INTERFACE);
  if (active == 1) {
    if (libusb_detach_kernel_driver(usbHandle, FX2_INTERFACE) != 0) {
      close();
      return false;
    }
  } else if (active != 0) {
    close();
    return false;
  }
  if (libusb_claim_interface(usbHandle, FX2_INTERFACE) != 0) {
    close();
    return false;
  }
  return true;
}

bool TFX2base::openX() {
  // Without a context every libusb call would reach into a null default context.
  if (!libusbReady)
    return false;
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(nullptr, &list);
  if (count < 0)
    return false;

  libusb_device* picked = nullptr;
  int countdown = deviceIndex;
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(list[i], &desc) != 0)
      continue;
    if (desc.idVendor != vendorId || desc.idProduct != productId)
      continue;
    if (countdown == 0) {
      picked = list[i];
      break;
    }
    --countdown;
  }
  if (picked == nullptr) {
    libusb_free_device_list(list, 1);
    return false;
  }

  {
    std::unique_lock lock(handleLock);
    usbDevice = picked;
  }
  libusb_device_handle* handle = nullptr;
  const int rc = libusb_open(picked, &handle);
  // The open handle holds its own reference on the device, so the list may go now.
  libusb_free_device_list(list, 1);
  if (rc != 0) {
    close();
    return false;
  }
  std::unique_lock lock(handleLock);
  usbHandle = handle;
  return true;
}

void TFX2base::close() {
  // Waits for transfers of other threads on the handle to end before it goes.
  std::unique_lock lock(handleLock);
  if (usbHandle != nullptr) {
    libusb_release_interface(usbHandle, FX2_INTERFACE);
    libusb_close(usbHandle);
  }
  usbHandle = nullptr;
  usbDevice = nullptr;
}

int TFX2base::controlMsg(uint8_t requestType, uint8_t request, int value, int index,
                         const uint8_t* data, size_t len, unsigned timeoutMs) {
  std::shared_lock lock(handleLock);
  if (usbHandle == nullptr)
    return -1;
  // libusb takes one buffer for both directions; OUT transfers only read from it.
  return libusb_control_transfer(usbHandle, requestType, request, static_cast<uint16_t>(value),
                                 static_cast<uint16_t>(index), const_cast<uint8_t*>(data),
                                 static_cast<uint16_t>(len), timeoutMs);
}

int TFX2base::blockRead(int endpoint, uint8_t* buf, size_t len, size_t& received) {
  received = 0;
  int rc = 0;
  int transferred = 0;
  {
    std::shared_lock lock(handleLock);
    if (usbHandle == nullptr)
      return -1;
    const size_t timeout =
        std::max(len / BLOCK_READ_BYTES_PER_MS, static_cast<size_t>(BLOCK_READ_MIN_TIMEOUT_MS));
    // One libusb transfer moves at most INT_MAX bytes; larger reads come back short.
    const int chunk = static_cast<int>(std::min(len, static_cast<size_t>(INT32_MAX)));
    rc = libusb_interrupt_transfer(usbHandle, static_cast<unsigned char>(endpoint), buf, chunk,
                                   &transferred, static_cast<unsigned>(timeout));
  }
  received = transferred > 0 ? static_cast<size_t>(transferred) : 0;
  if (rc == LIBUSB_ERROR_TIMEOUT)
    rc = 0;
  if (rc < 0)
    close();
  return rc;
}

int TFX2base::RAMop(size_t address, uint8_t* data, size_t len, uint8_t requestType,
                    unsigned timeoutMs) {
  if (usbHandle == nullptr)
    return 1;
  int failed = 0;
  while (len > 0) {
    const size_t chunk = std::min(len, FX2_RAM_CHUNK);
    if (controlMsg(requestType, FX2_REQUEST_RAM, static_cast<int>(address), 0, data, chunk,
                   timeoutMs) < 0)
      ++failed;
    address += chunk;
    data += chunk;
    len -= chunk;
  }
  return failed;
}

int TFX2base::WriteRAM(size_t address, uint8_t* data, size_t len, unsigned timeoutMs) {
  return RAMop(address, data, len, FX2_REQTYPE_OUT, timeoutMs);
}

int TFX2base::ReadRAM(size_t address, uint8_t* data, size_t len, unsigned timeoutMs) {
  return RAMop(address, data, len, FX2_REQTYPE_IN, timeoutMs);
}

bool TFX2base::FX2setResetBit(bool hold) {
  uint8_t cpucs = hold ? 1 : 0;
  return controlMsg(FX2_REQTYPE_OUT, FX2_REQUEST_RAM, FX2_CPUCS_ADDRESS, 0, &cpucs, 1,
                    FX2_CONTROL_TIMEOUT_MS) == 1;
}

bool TFX2base::programEmbedded(const uint8_t* records, size_t len) {
  size_t p = 0;
  while (p < len) {
    // A record cut short by the end of the stream is damaged: nothing of it is sent.
    if (len - p < 3)
      return false;
    const size_t count = records[p];
    const size_t address = static_cast<size_t>(records[p + 1]) * 256 + records[p + 2];
    if (count > len - p - 3)
      return false;
    // WriteRAM only reads from the data of an OUT transfer.
    if (WriteRAM(address, const_cast<uint8_t*>(records + p + 3), count, FX2_CONTROL_TIMEOUT_MS) != 0)
      return false;
    p += count + 3;
  }
  return true;
}

bool TFX2base::FX2reload(const uint8_t* records, size_t len) {
  if (!FX2setResetBit(true))
    return false;
  if (!programEmbedded(records, len))
    return false;
  FX2setResetBit(false);
  // The new firmware takes the device off the bus and brings it back with a new address.
  milliSleep(REENUM_WAIT_MS);
  close();
  for (int attempt = 0; attempt < REOPEN_ATTEMPTS && !cancelled(); ++attempt) {
    milliSleep(REOPEN_WAIT_MS);
    if (open(vendorId, productId, deviceIndex))
      return true;
  }
  return false;
}
