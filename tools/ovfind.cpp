// Board finder: lists the USB devices, marks the first FX2 probe board and checks that it opens.
#include <libusb.h>

#include <cstdio>

namespace {

constexpr uint16_t BOARD_VENDOR_ID = 0x04B4;
constexpr uint16_t BOARD_PRODUCT_ID = 0x8613;
constexpr int BOARD_INTERFACE = 0;
constexpr int BOARD_CONFIGURATION = 1;

/// The open sequence on the chosen board: open, make a configuration active, take interface 0
/// from a kernel driver (not given back), claim and release it, close. True when every step
/// succeeded; a handle that was opened is closed in every case.
bool openBoard(libusb_device* board) {
  libusb_device_handle* handle = nullptr;
  if (libusb_open(board, &handle) != 0)
    return false;

  bool ok = false;
  int config = 0;
  if (libusb_get_configuration(handle, &config) == 0 &&
      (config != 0 || libusb_set_configuration(handle, BOARD_CONFIGURATION) == 0)) {
    const int driver = libusb_kernel_driver_active(handle, BOARD_INTERFACE);
    if ((driver == 0 || (driver == 1 && libusb_detach_kernel_driver(handle, BOARD_INTERFACE) == 0)) &&
        libusb_claim_interface(handle, BOARD_INTERFACE) == 0)
      ok = libusb_release_interface(handle, BOARD_INTERFACE) == 0;
  }
  libusb_close(handle);
  return ok;
}

/// Scans the bus and tries the first board; prints as it goes. True when the board opened.
bool findBoard() {
  // A failed initialisation leaves no context to scan with: it is reported as a failed scan.
  const bool initialised = libusb_init(nullptr) == 0;

  std::printf("\nscanning for USB devices...");
  libusb_device** list = nullptr;
  const ssize_t count = initialised ? libusb_get_device_list(nullptr, &list) : -1;
  if (count < 0) {
    std::printf(" error when scanning\n");
    return false;
  }
  std::printf(" %zd USB devices detected\n", count);

  libusb_device* board = nullptr;
  ssize_t boardIndex = -1;
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device_descriptor desc{};
    libusb_get_device_descriptor(list[i], &desc);
    std::printf("\n%4zd  VID=%04x  PID=%04x  bcdDevice=%04x", i, desc.idVendor, desc.idProduct,
                desc.bcdDevice);
    if (board == nullptr && desc.idVendor == BOARD_VENDOR_ID && desc.idProduct == BOARD_PRODUCT_ID) {
      board = list[i];
      boardIndex = i;
      std::printf("  *** Cypress ***");
    }
  }

  bool ok = false;
  const char* message = "\n\ncould not detect a Cypress board.";
  if (board != nullptr) {
    std::printf("\n\nCypress board (#%zd) detected... attempting to open...", boardIndex);
    ok = openBoard(board);
    message = ok ? " opened/closed OK." : " could not be opened.";
  }
  std::printf("%s", message);
  libusb_free_device_list(list, 1);
  libusb_exit(nullptr);
  std::printf("\n\n%s\n", ok ? "SUCCEEDED" : "FAILED");
  return ok;
}

} // namespace

int main() {
  // The version is the build's date and time.
  std::printf("ovfind [Version: %s]\n", __DATE__ " " __TIME__);
  return findBoard() ? 0 : 1;
}
