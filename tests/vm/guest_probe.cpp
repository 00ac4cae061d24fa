// Runs inside the test guest and proves it has what the input tests need:
// a uinput device can be created with the raw ioctls, devtmpfs gives it an
// event node, and a key written to the device is read back from that node.
// Exits 0 when all of that holds; otherwise says what failed on stderr.
#include <fcntl.h>
#include <linux/input.h>
#include <linux/uinput.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

bool fail(const std::string& what) {
  std::fprintf(stderr, "guest_probe: %s: %s\n", what.c_str(), std::strerror(errno));
  return false;
}

bool createDevice(int uinput) {
  if (ioctl(uinput, UI_SET_EVBIT, EV_KEY) < 0) return fail("UI_SET_EVBIT");
  if (ioctl(uinput, UI_SET_KEYBIT, KEY_A) < 0) return fail("UI_SET_KEYBIT");
  uinput_setup setup{};
  setup.id.bustype = BUS_VIRTUAL;
  setup.id.vendor = 0x1;
  setup.id.product = 0x1;
  std::snprintf(setup.name, sizeof setup.name, "guest probe keyboard");
  if (ioctl(uinput, UI_DEV_SETUP, &setup) < 0) return fail("UI_DEV_SETUP");
  if (ioctl(uinput, UI_DEV_CREATE) < 0) return fail("UI_DEV_CREATE");
  return true;
}

// /dev/input/eventN of the device, found through its sysfs directory.
std::string eventNode(int uinput) {
  char sysname[64] = {};
  if (ioctl(uinput, UI_GET_SYSNAME(sizeof sysname), sysname) < 0) {
    fail("UI_GET_SYSNAME");
    return "";
  }
  std::error_code error;
  const std::filesystem::path dir = std::filesystem::path("/sys/devices/virtual/input") / sysname;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("event")) return "/dev/input/" + name;
  }
  std::fprintf(stderr, "guest_probe: no event node under %s\n", dir.c_str());
  return "";
}

bool emit(int uinput, unsigned short type, unsigned short code, int value) {
  input_event event{};
  event.type = type;
  event.code = code;
  event.value = value;
  if (write(uinput, &event, sizeof event) != static_cast<ssize_t>(sizeof event)) return fail("write to uinput");
  return true;
}

// Waits at most five seconds for the key press on the event node.
bool readsKeyPress(int node) {
  pollfd ready{node, POLLIN, 0};
  const int polled = poll(&ready, 1, 5000);
  if (polled < 0) return fail("poll on the event node");
  if (polled == 0) {
    std::fprintf(stderr, "guest_probe: no event on the node within 5 s\n");
    return false;
  }
  input_event event{};
  if (read(node, &event, sizeof event) != static_cast<ssize_t>(sizeof event)) return fail("read from the event node");
  if (event.type != EV_KEY || event.code != KEY_A || event.value != 1) {
    std::fprintf(stderr, "guest_probe: read type %u code %u value %d, expected a press of KEY_A\n", event.type,
                 event.code, event.value);
    return false;
  }
  return true;
}

bool probe(int uinput) {
  if (!createDevice(uinput)) return false;
  const std::string path = eventNode(uinput);
  if (path.empty()) return false;
  const int node = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (node < 0) return fail("open " + path);
  const bool ok = emit(uinput, EV_KEY, KEY_A, 1) && emit(uinput, EV_SYN, SYN_REPORT, 0) && readsKeyPress(node);
  close(node);
  if (ioctl(uinput, UI_DEV_DESTROY) < 0) return fail("UI_DEV_DESTROY");
  return ok;
}

}  // namespace

int main() {
  const int uinput = open("/dev/uinput", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (uinput < 0) {
    fail("open /dev/uinput");
    return 1;
  }
  const bool ok = probe(uinput);
  close(uinput);
  if (!ok) return 1;
  std::printf("guest_probe: uinput device events arrive on its event node\n");
  return 0;
}
