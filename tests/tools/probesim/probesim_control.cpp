// Test-side access to the probe simulator's control API, found at run time in the loaded libusb.
#include "probesim_control.h"

#include <dlfcn.h>
#include <libusb.h>

#include <sstream>
#include <stdexcept>

namespace {

template <class F>
F* lookup(const char* name) {
  void* symbol = dlsym(RTLD_DEFAULT, name);
  if (symbol == nullptr)
    throw std::runtime_error(std::string("probe simulator not loaded: no ") + name +
                             " (run with LD_LIBRARY_PATH=" + ProbeSimControl::libraryDir() + ")");
  return reinterpret_cast<F*>(symbol);
}

} // namespace

bool ProbeSimControl::loaded() {
  return dlsym(RTLD_DEFAULT, "probesim_version") != nullptr;
}

std::string ProbeSimControl::libusbPath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&libusb_init), &info) == 0 || info.dli_fname == nullptr)
    return "";
  return info.dli_fname;
}

std::string ProbeSimControl::configure(const std::string& scenario) {
  char err[512] = "";
  if (lookup<int(const char*, char*, size_t)>("probesim_configure")(scenario.c_str(), err, sizeof err) == 0)
    return "";
  return err[0] != '\0' ? err : "configuration failed";
}

std::vector<std::string> ProbeSimControl::log() {
  auto* fn = lookup<size_t(char*, size_t)>("probesim_log");
  std::string text(fn(nullptr, 0), '\0');
  // The log may grow between the two calls (another thread); ask until it fits.
  for (size_t need = 0; (need = fn(text.data(), text.size())) > text.size();)
    text.resize(need);
  text.resize(text.find('\0'));
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const auto start = line.find_first_not_of(' ');
    const auto space = line.find(' ', start);
    lines.push_back(space == std::string::npos ? line : line.substr(space + 1));
  }
  return lines;
}

std::vector<std::string> ProbeSimControl::calls(const std::string& prefix) {
  std::vector<std::string> out;
  for (auto& line : log())
    if (line.rfind(prefix, 0) == 0)
      out.push_back(std::move(line));
  return out;
}

void ProbeSimControl::clearLog() {
  lookup<void()>("probesim_clear_log")();
}

bool ProbeSimControl::unplug(int id) {
  return lookup<int(int)>("probesim_unplug")(id) == 0;
}

bool ProbeSimControl::replug(int id) {
  return lookup<int(int)>("probesim_replug")(id) == 0;
}

std::vector<uint8_t> ProbeSimControl::ram(int id, unsigned address, size_t len) {
  std::vector<uint8_t> out(len);
  if (lookup<int(int, unsigned, unsigned char*, size_t)>("probesim_read_ram")(id, address, out.data(), len) != 0)
    out.clear();
  return out;
}

long ProbeSimControl::state(int id, const std::string& name) {
  return lookup<long(int, const char*)>("probesim_state")(id, name.c_str());
}

bool ProbeSimControl::queueInterrupt(int id, int endpoint, const std::vector<uint8_t>& data, int result) {
  return lookup<int(int, int, const unsigned char*, size_t, int)>("probesim_queue_interrupt")(
             id, endpoint, data.data(), data.size(), result) == 0;
}

std::string ProbeSimControl::libraryDir() {
  return PROBESIM_LIBRARY_DIR;
}
