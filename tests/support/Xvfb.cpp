#include "support/Xvfb.h"

#include "support/XServerProcess.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace marlinax::testsupport {
namespace {

using namespace std::chrono_literals;

// Xlib's default error handler ends the process, and the handler is global.
// Errors on the connections made here are recorded; errors on any other
// connection go to whoever handled them before (unless that was Xlib's
// default, which would exit).
std::mutex errorMutex;
Display* watchedDisplay = nullptr;
int lastErrorCode = 0;
XErrorHandler chainedHandler = nullptr;

int recordError(Display* display, XErrorEvent* event) {
  {
    std::lock_guard lock(errorMutex);
    if (display == watchedDisplay) {
      lastErrorCode = event->error_code;
      return 0;
    }
  }
  if (chainedHandler) return chainedHandler(display, event);
  return 0;
}

void installErrorHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    XErrorHandler previous = XSetErrorHandler(nullptr);   // installs Xlib's default
    XErrorHandler xlibDefault = XSetErrorHandler(recordError);
    chainedHandler = previous != xlibDefault ? previous : nullptr;
  });
}

// One checked connection to the private server; X errors on it become
// exceptions at check().
class Connection {
 public:
  explicit Connection(const std::string& name) {
    installErrorHandler();
    display_ = XOpenDisplay(name.c_str());
    if (!display_) throw std::runtime_error("cannot open X display " + name);
    std::lock_guard lock(errorMutex);
    watchedDisplay = display_;
    lastErrorCode = 0;
  }
  ~Connection() {
    {
      std::lock_guard lock(errorMutex);
      if (watchedDisplay == display_) watchedDisplay = nullptr;
    }
    XCloseDisplay(display_);
  }
  Display* get() const { return display_; }
  void check(const char* what) {
    XSync(display_, False);
    std::lock_guard lock(errorMutex);
    if (lastErrorCode != 0) {
      int code = lastErrorCode;
      lastErrorCode = 0;
      throw std::runtime_error(std::string(what) + " failed with X error " + std::to_string(code));
    }
  }

 private:
  Display* display_ = nullptr;
};

int millimetres(int pixels) { return pixels * 254 / 960; }  // at 96 dots per inch

}  // namespace

Xvfb::Options Xvfb::twoMonitors() {
  Options options;
  options.width = 3840;
  options.height = 1080;
  options.monitors = {{"Left", 0, 0, 1920, 1080, true}, {"Right", 1920, 0, 1920, 1080, false}};
  return options;
}

Xvfb::Xvfb() : Xvfb(Options{}) {}

Xvfb::Xvfb(Options options) : options_(std::move(options)) {
  for (int number = options_.firstDisplayNumber; number < options_.firstDisplayNumber + 200; ++number) {
    if (displayNumberTaken(number)) continue;
    if (tryStart(number)) break;
  }
  if (pid_ < 0) throw std::runtime_error("no private Xvfb could be started");
  try {
    if (!options_.monitors.empty()) {
      for (const auto& monitor : options_.monitors) setMonitor(monitor);
      disableAutomaticMonitor();
    }
  } catch (...) {
    stop();
    throw;
  }
}

Xvfb::~Xvfb() { stop(); }

bool Xvfb::tryStart(int number) {
  const std::string display = ":" + std::to_string(number);
  std::vector<std::string> words{"Xvfb", display, "-screen", "0",
                                 std::to_string(options_.width) + "x" + std::to_string(options_.height) + "x" +
                                     std::to_string(options_.depth),
                                 "-noreset", "-nolisten", "tcp"};
  words.insert(words.end(), options_.extraArguments.begin(), options_.extraArguments.end());
  int status = 0;
  pid_ = startXServer(number, words, 15s, false, status);  // fails when the number was taken meanwhile
  if (pid_ < 0) return false;
  number_ = number;
  name_ = display;
  return true;
}

void Xvfb::stop() {
  stopByPid(pid_, 5s);
  pid_ = -1;
}

void Xvfb::setMonitor(const MonitorRect& wanted) {
  Connection connection(name_);
  Display* display = connection.get();
  Window root = DefaultRootWindow(display);
  Atom name = XInternAtom(display, wanted.name.c_str(), False);

  // Setting a name that exists is refused: delete it first.
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(display, root, False, &count);
  bool present = false;
  for (int i = 0; i < count; ++i) present = present || monitors[i].name == name;
  XRRFreeMonitors(monitors);
  if (present) {
    XRRDeleteMonitor(display, root, name);
    connection.check("XRRDeleteMonitor");
  }

  std::unique_ptr<XRRMonitorInfo, decltype(&XRRFreeMonitors)> monitor(XRRAllocateMonitor(display, 0),
                                                                       &XRRFreeMonitors);
  monitor->name = name;
  monitor->primary = wanted.primary ? True : False;
  monitor->automatic = False;
  monitor->x = wanted.x;
  monitor->y = wanted.y;
  monitor->width = wanted.width;
  monitor->height = wanted.height;
  monitor->mwidth = millimetres(wanted.width);
  monitor->mheight = millimetres(wanted.height);
  XRRSetMonitor(display, root, monitor.get());
  connection.check("XRRSetMonitor");
}

void Xvfb::deleteMonitor(const std::string& monitorName) {
  Connection connection(name_);
  Display* display = connection.get();
  XRRDeleteMonitor(display, DefaultRootWindow(display), XInternAtom(display, monitorName.c_str(), False));
  connection.check("XRRDeleteMonitor");
}

void Xvfb::disableAutomaticMonitor() {
  Connection connection(name_);
  Display* display = connection.get();
  XRRScreenResources* resources = XRRGetScreenResources(display, DefaultRootWindow(display));
  if (!resources) throw std::runtime_error("XRRGetScreenResources failed");
  for (int i = 0; i < resources->ncrtc; ++i) {
    XRRSetCrtcConfig(display, resources, resources->crtcs[i], CurrentTime, 0, 0, None, RR_Rotate_0, nullptr, 0);
  }
  XRRFreeScreenResources(resources);
  connection.check("XRRSetCrtcConfig");
}

}  // namespace marlinax::testsupport
