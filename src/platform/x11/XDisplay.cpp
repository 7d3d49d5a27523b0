#include "platform/x11/XDisplay.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log/Log.h"

namespace marlinax::platform::x11 {
namespace {

std::mutex registryMutex;
std::map<Display*, XDisplay*>& registry() {
  static std::map<Display*, XDisplay*> connections;
  return connections;
}
XErrorHandler chainedHandler = nullptr;
XIOErrorHandler chainedIOHandler = nullptr;

bool isOurs(Display* display) {
  std::lock_guard lock(registryMutex);
  return registry().contains(display);
}

// Xlib's default handler for a broken connection prints and exits. For our
// connections this one returns, and Xlib then calls the connection's exit
// handler (handleLostConnection), which returns too.
int handleIOError(Display* display) {
  if (isOurs(display)) return 0;
  if (chainedIOHandler) return chainedIOHandler(display);
  return 0;
}

}  // namespace

int XDisplay::handleError(Display* display, XErrorEvent* event) {
  {
    std::lock_guard lock(registryMutex);
    auto it = registry().find(display);
    if (it != registry().end()) {
      int expected = 0;
      it->second->error_.compare_exchange_strong(expected, event->error_code);
      return 0;
    }
  }
  // Someone else's connection: theirs to handle, if they installed a handler.
  if (chainedHandler) return chainedHandler(display, event);
  log::warning("X error " + std::to_string(event->error_code) + " (request " + std::to_string(event->request_code) +
               "." + std::to_string(event->minor_code) + ") on a foreign connection");
  return 0;
}

void XDisplay::handleLostConnection(Display*, void* self) {
  // Returning (instead of exiting) leaves the connection unusable; every
  // later call on it fails fast.
  static_cast<XDisplay*>(self)->lost_ = true;
}

std::unique_ptr<XDisplay> XDisplay::open(const std::string& name) {
  static std::once_flag once;
  std::call_once(once, [] {
    XInitThreads();
    XErrorHandler previous = XSetErrorHandler(nullptr);  // installs Xlib's default, returns the previous one
    XErrorHandler xlibDefault = XSetErrorHandler(&XDisplay::handleError);
    chainedHandler = previous != xlibDefault ? previous : nullptr;
    // Unlike errors, a foreign broken connection keeps Xlib's default (exit).
    chainedIOHandler = XSetIOErrorHandler(&handleIOError);
  });
  Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
  if (!display) {
    throw XError("cannot open X display " + std::string(name.empty() ? XDisplayName(nullptr) : name.c_str()));
  }
  return std::unique_ptr<XDisplay>(new XDisplay(display));
}

XDisplay::XDisplay(Display* display) : display_(display) {
  XSetIOErrorExitHandler(display_, &XDisplay::handleLostConnection, this);
  std::lock_guard lock(registryMutex);
  registry()[display_] = this;
}

bool XDisplay::lost() const {
  if (lost_.load()) return true;
  const int fd = ConnectionNumber(display_);
  pollfd poll{fd, POLLIN, 0};
  if (::poll(&poll, 1, 0) > 0) {
    char byte = 0;
    if ((poll.revents & (POLLHUP | POLLERR)) != 0 || ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0) lost_ = true;
  }
  return lost_.load();
}

XDisplay::~XDisplay() {
  const bool dead = lost();
  // Errors still in flight must find the registry entry: sync first.
  if (!dead) XSync(display_, False);
  {
    std::lock_guard lock(registryMutex);
    registry().erase(display_);
  }
  if (dead) {
    // XCloseDisplay on a broken connection can block for ever inside Xlib's
    // locks; the socket is closed and the small Display structure left.
    ::close(ConnectionNumber(display_));
    return;
  }
  XCloseDisplay(display_);
}

int XDisplay::syncAndTakeError() {
  if (lost()) return BadImplementation;
  XSync(display_, False);
  return takeError();
}

int XDisplay::takeError() {
  if (lost()) return BadImplementation;
  return error_.exchange(0);
}

}  // namespace marlinax::platform::x11
