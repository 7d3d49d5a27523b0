#include "support/Xvfb.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

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

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// The server writes its pid, as text, into its lock file.
pid_t lockOwner(int number) {
  std::ifstream in("/tmp/.X" + std::to_string(number) + "-lock");
  long pid = -1;
  if (!(in >> pid)) return -1;
  return static_cast<pid_t>(pid);
}

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
    if (exists("/tmp/.X11-unix/X" + std::to_string(number)) ||
        exists("/tmp/.X" + std::to_string(number) + "-lock")) {
      continue;
    }
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
  std::string display = ":" + std::to_string(number);
  std::string screen = std::to_string(options_.width) + "x" + std::to_string(options_.height) + "x" +
                       std::to_string(options_.depth);
  pid_t parent = ::getpid();
  pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    // The server must not outlive a test that crashes.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    int devNull = ::open("/dev/null", O_RDWR);
    if (devNull >= 0) {
      ::dup2(devNull, STDIN_FILENO);
      ::dup2(devNull, STDOUT_FILENO);
      ::dup2(devNull, STDERR_FILENO);
    }
    std::vector<std::string> words{"Xvfb", display, "-screen", "0", screen, "-noreset", "-nolisten", "tcp"};
    words.insert(words.end(), options_.extraArguments.begin(), options_.extraArguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    ::execvp("Xvfb", argv.data());
    ::_exit(127);
  }

  auto deadline = std::chrono::steady_clock::now() + 15s;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == child) return false;  // display taken meanwhile
    // Another test may have started a server on the same number a moment
    // earlier: only the lock file's owner is ours.
    if (lockOwner(number) == child) {
      if (Display* probe = XOpenDisplay(display.c_str())) {
        XCloseDisplay(probe);
        pid_ = child;
        number_ = number;
        name_ = display;
        return true;
      }
    }
    std::this_thread::sleep_for(20ms);
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  return false;
}

void Xvfb::stop() {
  if (pid_ < 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
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
