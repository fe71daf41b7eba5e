// Probe simulator: the libusb-1.0 functions the project calls, answered by the device model.
#include "probesim_internal.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

using probesim::Device;
using probesim::detail::Slot;
using probesim::detail::sim;

namespace {

constexpr uint8_t REQTYPE_DIR_IN = 0x80;
constexpr uint8_t REQTYPE_TYPE_MASK = 0x60;
constexpr uint8_t REQTYPE_VENDOR = 0x40;
constexpr uint8_t FX2_REQUEST_RAM = 0xA0;
constexpr int PROBE_INTERFACE = 0;
constexpr long DEFAULT_INTERRUPT_IDLE_MS = 10;
/// Data bytes shown per transfer in the log; longer data is cut with "...".
constexpr size_t LOG_DATA_MAX = 64;

using Lock = std::lock_guard<std::recursive_mutex>;

/// Locks the state and applies the timed events that are due: the start of every call.
struct CallScope {
  Lock lock{probesim::stateMutex()};
  CallScope() { probesim::detail::advance(); }
};

std::string devText(const libusb_device* d) {
  return d != nullptr && d->dev != nullptr ? "dev=" + std::to_string(d->dev->id) : "dev=?";
}

std::string handleText(const libusb_device_handle* h) {
  return h != nullptr ? devText(h->device) : "dev=?";
}

std::string res(int code) {
  return "result=" + probesim::detail::errorText(code);
}

std::string dataText(const unsigned char* data, size_t len) {
  if (data == nullptr || len == 0)
    return "data=-";
  std::string text = "data=" + probesim::hexBytes(data, std::min(len, LOG_DATA_MAX));
  if (len > LOG_DATA_MAX)
    text += "...";
  return text;
}

std::string hex2(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02x", v & 0xff);
  return buf;
}

std::string hex4(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%04x", v & 0xffff);
  return buf;
}

/// The device behind a handle has left the bus since the handle was opened.
bool gone(const libusb_device_handle* h) {
  const libusb_device* d = h->device;
  return !d->dev->present || d->generation != d->dev->generation;
}

/// Common checks of every handle call: a closed handle is a misuse, a vanished device an error.
int handleError(libusb_device_handle* h) {
  if (h == nullptr || h->closed)
    return LIBUSB_ERROR_INVALID_PARAM;
  if (gone(h))
    return LIBUSB_ERROR_NO_DEVICE;
  return 0;
}

/// A transfer on a handle that was closed before: the real library would use freed memory.
std::string closedNote(const libusb_device_handle* h) {
  return h != nullptr && h->closed ? " misuse=closed_handle" : "";
}

Slot* slotOf(libusb_device_handle* h) {
  return probesim::detail::slotOf(h->device->dev);
}

/// Interrupt or bulk IN read. Takes the lock itself: the data source runs without it.
int readEndpoint(const char* call, libusb_device_handle* h, unsigned char endpoint,
                 unsigned char* data, int length, int* actual, unsigned timeout) {
  int transferred = 0;
  int result = 0;
  Device* dev = nullptr;
  {
    CallScope scope;
    result = handleError(h);
    if (result == 0 && (length < 0 || (length > 0 && data == nullptr)))
      result = LIBUSB_ERROR_INVALID_PARAM;
    if (result == 0) {
      dev = h->device->dev;
      const bool heldElsewhere =
          dev->claimedElsewhere || dev->driverBound || (dev->claimedBy != nullptr && dev->claimedBy != h);
      if (!dev->isProbe || !(endpoint & REQTYPE_DIR_IN) || dev->config != 1 || heldElsewhere)
        result = LIBUSB_ERROR_IO;
    }
    if (result == 0) {
      Slot* slot = slotOf(h);
      auto& reads = slot->reads;
      const auto it = std::find_if(reads.begin(), reads.end(),
                                   [&](const auto& r) { return r.endpoint == endpoint; });
      if (it != reads.end()) {
        transferred = static_cast<int>(std::min(it->data.size(), static_cast<size_t>(length)));
        std::copy_n(it->data.begin(), transferred, data);
        result = it->result;
        reads.erase(it);
        dev = nullptr; // served
      }
    }
    if (result != 0 || dev == nullptr) {
      if (actual != nullptr)
        *actual = transferred;
      probesim::logLine(std::string(call) + " " + handleText(h) + " endpoint=" + hex2(endpoint) +
                        " length=" + std::to_string(length) + " " +
                        dataText(data, static_cast<size_t>(transferred)) +
                        " transferred=" + std::to_string(transferred) +
                        " timeout=" + std::to_string(timeout) + " " + res(result) + closedNote(h));
      return result;
    }
  }

  // Nothing queued: the extension's source, else an idle wait that times out empty.
  probesim::InterruptSource source;
  long idleMs = 0;
  {
    Lock lock(probesim::stateMutex());
    source = sim().interruptSource;
    idleMs = probesim::detail::globalInt("interrupt_idle_ms", DEFAULT_INTERRUPT_IDLE_MS);
  }
  result = probesim::UNHANDLED;
  if (source) {
    probesim::InterruptRequest req;
    req.endpoint = endpoint;
    req.length = length;
    req.timeoutMs = timeout;
    result = source(*dev, req, data, &transferred);
  }
  if (result == probesim::UNHANDLED) {
    const long wait = timeout == 0 ? idleMs : std::min(idleMs, static_cast<long>(timeout));
    std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    transferred = 0;
    result = LIBUSB_ERROR_TIMEOUT;
  }
  transferred = std::clamp(transferred, 0, length);
  if (actual != nullptr)
    *actual = transferred;
  probesim::logLine(std::string(call) + " " + handleText(h) + " endpoint=" + hex2(endpoint) +
                    " length=" + std::to_string(length) + " " +
                    dataText(data, static_cast<size_t>(transferred)) +
                    " transferred=" + std::to_string(transferred) + " timeout=" + std::to_string(timeout) +
                    " " + res(result));
  return result;
}

const libusb_version SIM_VERSION = {1, 0, 26, 0, "", "probesim"};

} // namespace

extern "C" {

int libusb_init(libusb_context** ctx) {
  CallScope scope;
  const int fault = probesim::detail::globalFault("fail_init");
  if (fault == 0) {
    if (ctx != nullptr) {
      sim().contexts.push_back(std::make_unique<libusb_context>());
      *ctx = sim().contexts.back().get();
    } else {
      ++sim().defaultContextRefs;
    }
  }
  probesim::logLine(std::string("libusb_init ctx=") + (ctx != nullptr ? "new" : "default") + " " + res(fault));
  return fault;
}

void libusb_exit(libusb_context* ctx) {
  CallScope scope;
  std::string note;
  if (ctx == nullptr) {
    if (sim().defaultContextRefs == 0)
      note = " misuse=not_initialised";
    else
      --sim().defaultContextRefs;
  }
  probesim::logLine(std::string("libusb_exit ctx=") + (ctx != nullptr ? "own" : "default") + note);
}

void libusb_set_debug(libusb_context*, int level) {
  CallScope scope;
  probesim::logLine("libusb_set_debug level=" + std::to_string(level));
}

int libusb_set_option(libusb_context*, enum libusb_option option, ...) {
  CallScope scope;
  probesim::logLine("libusb_set_option option=" + std::to_string(static_cast<int>(option)) + " result=0");
  return 0;
}

const struct libusb_version* libusb_get_version(void) {
  return &SIM_VERSION;
}

int libusb_has_capability(uint32_t capability) {
  return capability == LIBUSB_CAP_HAS_CAPABILITY || capability == LIBUSB_CAP_SUPPORTS_DETACH_KERNEL_DRIVER;
}

const char* libusb_error_name(int errcode) {
  switch (errcode) {
  case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
  case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
  case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
  case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
  case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
  case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
  case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
  case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
  case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
  case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
  case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
  case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
  case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
  case LIBUSB_ERROR_OTHER: return "LIBUSB_ERROR_OTHER";
  default: return "**UNKNOWN**";
  }
}

const char* libusb_strerror(int errcode) {
  switch (errcode) {
  case LIBUSB_SUCCESS: return "Success";
  case LIBUSB_ERROR_IO: return "Input/Output Error";
  case LIBUSB_ERROR_INVALID_PARAM: return "Invalid parameter";
  case LIBUSB_ERROR_ACCESS: return "Access denied (insufficient permissions)";
  case LIBUSB_ERROR_NO_DEVICE: return "No such device (it may have been disconnected)";
  case LIBUSB_ERROR_NOT_FOUND: return "Entity not found";
  case LIBUSB_ERROR_BUSY: return "Resource busy";
  case LIBUSB_ERROR_TIMEOUT: return "Operation timed out";
  case LIBUSB_ERROR_OVERFLOW: return "Overflow";
  case LIBUSB_ERROR_PIPE: return "Pipe error";
  case LIBUSB_ERROR_INTERRUPTED: return "System call interrupted (perhaps due to signal)";
  case LIBUSB_ERROR_NO_MEM: return "Insufficient memory";
  case LIBUSB_ERROR_NOT_SUPPORTED: return "Operation not supported or unimplemented on this platform";
  default: return "Other error";
  }
}

ssize_t libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
  CallScope scope;
  if (ctx == nullptr && sim().defaultContextRefs == 0) {
    // The real library dereferences its missing default context here and crashes; so does this one.
    probesim::logLine("libusb_get_device_list ctx=default misuse=not_initialised");
    std::fprintf(stderr, "probesim: libusb_get_device_list on the default context without a "
                         "successful libusb_init (the real libusb crashes here)\n");
    std::abort();
  }
  if (list == nullptr) {
    probesim::logLine("libusb_get_device_list " + res(LIBUSB_ERROR_INVALID_PARAM));
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  if (const int fault = probesim::detail::globalFault("fail_get_device_list"); fault != 0) {
    probesim::logLine("libusb_get_device_list " + res(fault));
    return fault;
  }
  std::vector<libusb_device*> present;
  for (auto& slot : sim().slots)
    if (slot.current != nullptr)
      present.push_back(slot.current);
  auto** out = new libusb_device*[present.size() + 1];
  std::string ids;
  for (size_t i = 0; i < present.size(); ++i) {
    ++present[i]->refs;
    out[i] = present[i];
    ids += (i ? "," : "") + std::to_string(present[i]->dev->id);
  }
  out[present.size()] = nullptr;
  *list = out;
  probesim::logLine("libusb_get_device_list devices=" + (ids.empty() ? "-" : ids) +
                    " result=" + std::to_string(present.size()));
  return static_cast<ssize_t>(present.size());
}

void libusb_free_device_list(libusb_device** list, int unref_devices) {
  CallScope scope;
  if (list == nullptr)
    return;
  size_t count = 0;
  for (; list[count] != nullptr; ++count)
    if (unref_devices)
      --list[count]->refs;
  delete[] list;
  probesim::logLine("libusb_free_device_list count=" + std::to_string(count) +
                    " unref=" + std::to_string(unref_devices));
}

libusb_device* libusb_ref_device(libusb_device* dev) {
  CallScope scope;
  ++dev->refs;
  probesim::logLine("libusb_ref_device " + devText(dev) + " refs=" + std::to_string(dev->refs));
  return dev;
}

void libusb_unref_device(libusb_device* dev) {
  CallScope scope;
  if (dev == nullptr)
    return;
  --dev->refs;
  probesim::logLine("libusb_unref_device " + devText(dev) + " refs=" + std::to_string(dev->refs) +
                    (dev->refs < 0 ? " misuse=unreferenced_too_often" : ""));
}

int libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc) {
  CallScope scope;
  std::memset(desc, 0, sizeof *desc);
  desc->bLength = LIBUSB_DT_DEVICE_SIZE;
  desc->bDescriptorType = LIBUSB_DT_DEVICE;
  desc->bcdUSB = 0x0200;
  desc->bDeviceClass = dev->dev->isProbe ? LIBUSB_CLASS_VENDOR_SPEC : LIBUSB_CLASS_PER_INTERFACE;
  desc->bDeviceSubClass = desc->bDeviceClass == LIBUSB_CLASS_VENDOR_SPEC ? 0xff : 0;
  desc->bDeviceProtocol = desc->bDeviceSubClass;
  desc->bMaxPacketSize0 = 64;
  desc->idVendor = dev->dev->vid;
  desc->idProduct = dev->dev->pid;
  desc->bcdDevice = dev->bcd;
  desc->bNumConfigurations = 1;
  probesim::logLine("libusb_get_device_descriptor " + devText(dev) + " result=0");
  return 0;
}

uint8_t libusb_get_bus_number(libusb_device*) {
  return 1;
}

uint8_t libusb_get_port_number(libusb_device* dev) {
  return static_cast<uint8_t>(dev->dev->id + 1);
}

uint8_t libusb_get_device_address(libusb_device* dev) {
  return dev->address;
}

int libusb_open(libusb_device* dev, libusb_device_handle** dev_handle) {
  CallScope scope;
  int result = 0;
  if (dev == nullptr || dev_handle == nullptr)
    result = LIBUSB_ERROR_INVALID_PARAM;
  else if (!dev->dev->present || dev->generation != dev->dev->generation)
    result = LIBUSB_ERROR_NO_DEVICE;
  else
    result = dev->dev->fault("fail_open");
  if (result == 0) {
    auto handle = std::make_unique<libusb_device_handle>();
    handle->device = dev;
    ++dev->refs;
    *dev_handle = handle.get();
    sim().handles.push_back(std::move(handle));
  }
  probesim::logLine("libusb_open " + devText(dev) + " " + res(result));
  return result;
}

void libusb_close(libusb_device_handle* h) {
  CallScope scope;
  if (h == nullptr)
    return;
  if (h->closed) {
    probesim::logLine("libusb_close " + handleText(h) + " misuse=closed_twice");
    return;
  }
  h->closed = true;
  if (h->device->dev->claimedBy == h)
    h->device->dev->claimedBy = nullptr;
  h->claimed = false;
  --h->device->refs;
  probesim::logLine("libusb_close " + handleText(h));
}

libusb_device* libusb_get_device(libusb_device_handle* h) {
  return h->device;
}

libusb_device_handle* libusb_open_device_with_vid_pid(libusb_context* ctx, uint16_t vendor_id,
                                                      uint16_t product_id) {
  libusb_device** list = nullptr;
  if (libusb_get_device_list(ctx, &list) < 0)
    return nullptr;
  libusb_device_handle* handle = nullptr;
  for (size_t i = 0; list[i] != nullptr; ++i) {
    libusb_device_descriptor desc{};
    libusb_get_device_descriptor(list[i], &desc);
    if (desc.idVendor == vendor_id && desc.idProduct == product_id) {
      if (libusb_open(list[i], &handle) != 0)
        handle = nullptr;
      break;
    }
  }
  libusb_free_device_list(list, 1);
  return handle;
}

int libusb_get_configuration(libusb_device_handle* h, int* config) {
  CallScope scope;
  int result = handleError(h);
  if (result == 0)
    result = h->device->dev->fault("fail_get_configuration");
  if (result == 0 && config != nullptr)
    *config = h->device->dev->config;
  probesim::logLine("libusb_get_configuration " + handleText(h) +
                    (result == 0 ? " config=" + std::to_string(h->device->dev->config) : "") + " " + res(result));
  return result;
}

int libusb_set_configuration(libusb_device_handle* h, int configuration) {
  CallScope scope;
  int result = handleError(h);
  if (result == 0)
    result = h->device->dev->fault("fail_set_configuration");
  if (result == 0) {
    Device& d = *h->device->dev;
    Slot& slot = *slotOf(h);
    // Linux refuses while any driver (a kernel one, or usbfs for a claim) holds an interface.
    if (d.driverBound || d.claimedElsewhere || d.claimedBy != nullptr) {
      result = LIBUSB_ERROR_BUSY;
    } else if (configuration == 0 || configuration == -1) {
      d.config = 0;
    } else if (configuration != 1) {
      result = LIBUSB_ERROR_NOT_FOUND;
    } else if (slot.unconfiguredSetsLeft > 0) {
      --slot.unconfiguredSetsLeft;
    } else {
      // A new configuration brings new interfaces, which a kernel driver then binds.
      if (d.config == 0)
        d.driverBound = d.optionInt("kernel_driver", 0) != 0;
      d.config = 1;
    }
  }
  probesim::logLine("libusb_set_configuration " + handleText(h) + " config=" + std::to_string(configuration) +
                    " " + res(result));
  return result;
}

int libusb_kernel_driver_active(libusb_device_handle* h, int interface_number) {
  CallScope scope;
  int result = handleError(h);
  if (result == 0)
    result = h->device->dev->fault("fail_kernel_driver_active");
  if (result == 0)
    result = interface_number == PROBE_INTERFACE && h->device->dev->driverBound ? 1 : 0;
  probesim::logLine("libusb_kernel_driver_active " + handleText(h) + " interface=" +
                    std::to_string(interface_number) + " " + res(result));
  return result;
}

int libusb_detach_kernel_driver(libusb_device_handle* h, int interface_number) {
  CallScope scope;
  int result = handleError(h);
  if (result == 0)
    result = h->device->dev->fault("fail_detach_kernel_driver");
  if (result == 0) {
    if (interface_number != PROBE_INTERFACE || !h->device->dev->driverBound)
      result = LIBUSB_ERROR_NOT_FOUND;
    else
      h->device->dev->driverBound = false;
  }
  probesim::logLine("libusb_detach_kernel_driver " + handleText(h) + " interface=" +
                    std::to_string(interface_number) + " " + res(result));
  return result;
}

int libusb_attach_kernel_driver(libusb_device_handle* h, int interface_number) {
  CallScope scope;
  int result = handleError(h);
  if (result == 0) {
    Device& d = *h->device->dev;
    if (interface_number != PROBE_INTERFACE || d.config != 1 || d.optionInt("kernel_driver", 0) == 0)
      result = LIBUSB_ERROR_NOT_FOUND;
    else if (d.driverBound || d.claimedElsewhere || d.claimedBy != nullptr)
      result = LIBUSB_ERROR_BUSY;
    else
      d.driverBound = true;
  }
  probesim::logLine("libusb_attach_kernel_driver " + handleText(h) + " interface=" +
                    std::to_string(interface_number) + " " + res(result));
  return result;
}

int libusb_set_auto_detach_kernel_driver(libusb_device_handle* h, int enable) {
  CallScope scope;
  probesim::logLine("libusb_set_auto_detach_kernel_driver " + handleText(h) +
                    " enable=" + std::to_string(enable) + " " + res(LIBUSB_ERROR_NOT_SUPPORTED));
  return LIBUSB_ERROR_NOT_SUPPORTED;
}

int libusb_claim_interface(libusb_device_handle* h, int interface_number) {
  CallScope scope;
  int result = handleError(h);
  if (result == 0)
    result = h->device->dev->fault("fail_claim_interface");
  if (result == 0) {
    Device& d = *h->device->dev;
    if (interface_number != PROBE_INTERFACE || d.config != 1)
      result = LIBUSB_ERROR_NOT_FOUND;
    else if (d.claimedBy == h)
      result = 0;
    else if (d.claimedElsewhere || d.driverBound || d.claimedBy != nullptr)
      result = LIBUSB_ERROR_BUSY;
    else {
      d.claimedBy = h;
      h->claimed = true;
    }
  }
  probesim::logLine("libusb_claim_interface " + handleText(h) + " interface=" +
                    std::to_string(interface_number) + " " + res(result));
  return result;
}

int libusb_release_interface(libusb_device_handle* h, int interface_number) {
  CallScope scope;
  int result = 0;
  if (h == nullptr || h->closed)
    result = LIBUSB_ERROR_INVALID_PARAM;
  else if (interface_number != PROBE_INTERFACE || !h->claimed)
    result = LIBUSB_ERROR_NOT_FOUND;
  else {
    h->claimed = false;
    if (gone(h))
      result = LIBUSB_ERROR_NO_DEVICE;
    else
      h->device->dev->claimedBy = nullptr;
  }
  probesim::logLine("libusb_release_interface " + handleText(h) + " interface=" +
                    std::to_string(interface_number) + " " + res(result));
  return result;
}

int libusb_clear_halt(libusb_device_handle* h, unsigned char endpoint) {
  CallScope scope;
  const int result = handleError(h);
  probesim::logLine("libusb_clear_halt " + handleText(h) + " endpoint=" + hex2(endpoint) + " " + res(result));
  return result;
}

int libusb_reset_device(libusb_device_handle* h) {
  CallScope scope;
  const int result = handleError(h);
  probesim::logLine("libusb_reset_device " + handleText(h) + " " + res(result));
  return result;
}

int libusb_control_transfer(libusb_device_handle* h, uint8_t request_type, uint8_t bRequest,
                            uint16_t wValue, uint16_t wIndex, unsigned char* data, uint16_t wLength,
                            unsigned int timeout) {
  CallScope scope;
  const bool in = (request_type & REQTYPE_DIR_IN) != 0;
  // OUT data is logged as sent, before the device may look at it.
  const std::string outData = in ? "" : dataText(data, wLength);
  int result = handleError(h);
  if (result == 0 && wLength > 0 && data == nullptr)
    result = LIBUSB_ERROR_INVALID_PARAM;
  if (result == 0) {
    Device& d = *h->device->dev;
    probesim::ControlRequest req;
    req.requestType = request_type;
    req.request = bRequest;
    req.value = wValue;
    req.index = wIndex;
    req.length = wLength;
    req.timeoutMs = timeout;
    result = LIBUSB_ERROR_PIPE;
    if (!d.isProbe) {
      // Other devices answer no vendor request.
    } else if (bRequest == FX2_REQUEST_RAM && (request_type & REQTYPE_TYPE_MASK) == REQTYPE_VENDOR) {
      result = probesim::detail::fx2RamRequest(*slotOf(h), req, data);
    } else {
      for (const auto& handler : sim().vendorHandlers) {
        const int r = handler(d, req, data);
        if (r != probesim::UNHANDLED) {
          result = r;
          break;
        }
      }
      if (result == probesim::UNHANDLED)
        result = LIBUSB_ERROR_PIPE;
    }
    result = std::min(result, static_cast<int>(wLength));
  }
  const std::string shownData =
      in ? dataText(data, result > 0 ? static_cast<size_t>(result) : 0) : outData;
  probesim::logLine("libusb_control_transfer " + handleText(h) + " type=" + hex2(request_type) +
                    " request=" + hex2(bRequest) + " value=" + hex4(wValue) + " index=" + hex4(wIndex) +
                    " endpoint=" + hex2(in ? 0x80 : 0x00) + " length=" + std::to_string(wLength) + " " +
                    shownData + " timeout=" + std::to_string(timeout) + " " + res(result) + closedNote(h));
  return result;
}

int libusb_interrupt_transfer(libusb_device_handle* h, unsigned char endpoint, unsigned char* data,
                              int length, int* actual_length, unsigned int timeout) {
  return readEndpoint("libusb_interrupt_transfer", h, endpoint, data, length, actual_length, timeout);
}

int libusb_bulk_transfer(libusb_device_handle* h, unsigned char endpoint, unsigned char* data,
                         int length, int* actual_length, unsigned int timeout) {
  return readEndpoint("libusb_bulk_transfer", h, endpoint, data, length, actual_length, timeout);
}

} // extern "C"
