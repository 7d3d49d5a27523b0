// marlinax-wayland-test-client: a fullscreen window for tests under a Wayland
// compositor. It paints four quadrants of known colours (top-left red, top-right
// green, bottom-left blue, bottom-right white), or with --animate a bar that
// moves every frame, and writes one line per event to standard output:
//
//   ready W H                      the window is shown at W x H
//   output X Y W H NAME            an output as the compositor describes it (again on change);
//                                  NAME is its name, else its model
//   output-removed NAME            an output went away
//   enter X Y | motion X Y         pointer position on the window (surface pixels)
//   button CODE pressed|released   evdev button code
//   axis vertical|horizontal V     scroll amount; axis-stop vertical|horizontal at a gesture's end
//   key CODE pressed|released      evdev key code
//
// It runs until killed.

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include "xdg-shell-client-protocol.h"

namespace {

struct Output {
  wl_output* output = nullptr;
  std::uint32_t globalName = 0;
  std::string name;
  std::string model;
  int x = 0, y = 0, width = 0, height = 0;
};

struct Client {
  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  xdg_wm_base* wmBase = nullptr;
  wl_seat* seat = nullptr;
  wl_pointer* pointer = nullptr;
  wl_keyboard* keyboard = nullptr;
  wl_surface* surface = nullptr;
  xdg_surface* xdgSurface = nullptr;
  xdg_toplevel* toplevel = nullptr;
  std::map<std::uint32_t, Output*> outputs;
  int width = 0, height = 0;
  bool configured = false;
  bool animate = false;
  std::uint32_t frameCount = 0;
  wl_buffer* buffer = nullptr;
  std::uint32_t* pixels = nullptr;
  int bufferWidth = 0, bufferHeight = 0;
};

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::printf("\n");
  std::fflush(stdout);
}

// ---- drawing

void paint(Client& c) {
  const int w = c.bufferWidth, h = c.bufferHeight;
  if (!c.animate) {
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        bool right = x >= w / 2, bottom = y >= h / 2;
        std::uint32_t colour = !bottom ? (right ? 0xFF00FF00u : 0xFFFF0000u) : (right ? 0xFFFFFFFFu : 0xFF0000FFu);
        c.pixels[static_cast<std::size_t>(y) * w + x] = colour;
      }
    }
    return;
  }
  // A 64-pixel bar sweeping across a grey background, a different place every frame.
  int bar = static_cast<int>((c.frameCount * 16) % static_cast<std::uint32_t>(w > 0 ? w : 1));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      bool inBar = x >= bar && x < bar + 64;
      c.pixels[static_cast<std::size_t>(y) * w + x] = inBar ? 0xFFFFCC00u : 0xFF404040u | ((x ^ y) & 0x1F);
    }
  }
}

bool makeBuffer(Client& c, int w, int h) {
  if (c.buffer != nullptr && c.bufferWidth == w && c.bufferHeight == h) return true;
  if (c.buffer != nullptr) {
    wl_buffer_destroy(c.buffer);
    munmap(c.pixels, static_cast<std::size_t>(c.bufferWidth) * c.bufferHeight * 4);
    c.buffer = nullptr;
  }
  std::size_t size = static_cast<std::size_t>(w) * h * 4;
  int fd = memfd_create("marlinax-wayland-test-client", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) < 0) return false;
  void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) {
    close(fd);
    return false;
  }
  wl_shm_pool* pool = wl_shm_create_pool(c.shm, fd, static_cast<std::int32_t>(size));
  c.buffer = wl_shm_pool_create_buffer(pool, 0, w, h, w * 4, WL_SHM_FORMAT_XRGB8888);
  wl_shm_pool_destroy(pool);
  close(fd);
  c.pixels = static_cast<std::uint32_t*>(data);
  c.bufferWidth = w;
  c.bufferHeight = h;
  return true;
}

void redraw(Client& c);

void frameDone(void* data, wl_callback* callback, std::uint32_t) {
  wl_callback_destroy(callback);
  auto& c = *static_cast<Client*>(data);
  ++c.frameCount;
  redraw(c);
}
const wl_callback_listener frameListener = {frameDone};

void redraw(Client& c) {
  paint(c);
  wl_surface_attach(c.surface, c.buffer, 0, 0);
  wl_surface_damage_buffer(c.surface, 0, 0, c.bufferWidth, c.bufferHeight);
  if (c.animate) wl_callback_add_listener(wl_surface_frame(c.surface), &frameListener, &c);
  wl_surface_commit(c.surface);
}

// ---- shell

void wmPing(void*, xdg_wm_base* base, std::uint32_t serial) { xdg_wm_base_pong(base, serial); }
const xdg_wm_base_listener wmListener = {wmPing};

void surfaceConfigure(void* data, xdg_surface* surface, std::uint32_t serial) {
  auto& c = *static_cast<Client*>(data);
  xdg_surface_ack_configure(surface, serial);
  int w = c.width > 0 ? c.width : 1920, h = c.height > 0 ? c.height : 1080;
  bool first = !c.configured;
  bool resized = w != c.bufferWidth || h != c.bufferHeight;
  c.configured = true;
  if (!makeBuffer(c, w, h)) {
    say("error cannot make a buffer");
    std::exit(1);
  }
  if (first || resized) {
    redraw(c);
    say("ready %d %d", w, h);
  } else {
    wl_surface_commit(c.surface);
  }
}
const xdg_surface_listener surfaceListener = {surfaceConfigure};

void toplevelConfigure(void* data, xdg_toplevel*, std::int32_t w, std::int32_t h, wl_array*) {
  auto& c = *static_cast<Client*>(data);
  if (w > 0 && h > 0) {
    c.width = w;
    c.height = h;
  }
}
void toplevelClose(void*, xdg_toplevel*) { std::exit(0); }
void toplevelBounds(void*, xdg_toplevel*, std::int32_t, std::int32_t) {}
void toplevelCapabilities(void*, xdg_toplevel*, wl_array*) {}
const xdg_toplevel_listener toplevelListener = {toplevelConfigure, toplevelClose, toplevelBounds, toplevelCapabilities};

// ---- outputs

void outputGeometry(void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t, std::int32_t, std::int32_t,
                    const char*, const char* model, std::int32_t) {
  auto* o = static_cast<Output*>(data);
  o->model = model != nullptr ? model : "";
  o->x = x;
  o->y = y;
}
void outputMode(void* data, wl_output*, std::uint32_t flags, std::int32_t w, std::int32_t h, std::int32_t) {
  auto* o = static_cast<Output*>(data);
  if ((flags & WL_OUTPUT_MODE_CURRENT) != 0) {
    o->width = w;
    o->height = h;
  }
}
void outputDone(void* data, wl_output*) {
  auto* o = static_cast<Output*>(data);
  say("output %d %d %d %d %s", o->x, o->y, o->width, o->height, o->name.empty() ? o->model.c_str() : o->name.c_str());
}
void outputScale(void*, wl_output*, std::int32_t) {}
void outputName(void* data, wl_output*, const char* name) { static_cast<Output*>(data)->name = name; }
void outputDescription(void*, wl_output*, const char*) {}
const wl_output_listener outputListener = {outputGeometry, outputMode, outputDone,
                                           outputScale,    outputName, outputDescription};

// ---- input

void pointerEnter(void*, wl_pointer*, std::uint32_t, wl_surface*, wl_fixed_t x, wl_fixed_t y) {
  say("enter %.2f %.2f", wl_fixed_to_double(x), wl_fixed_to_double(y));
}
void pointerLeave(void*, wl_pointer*, std::uint32_t, wl_surface*) { say("leave"); }
void pointerMotion(void*, wl_pointer*, std::uint32_t, wl_fixed_t x, wl_fixed_t y) {
  say("motion %.2f %.2f", wl_fixed_to_double(x), wl_fixed_to_double(y));
}
void pointerButton(void*, wl_pointer*, std::uint32_t, std::uint32_t, std::uint32_t button, std::uint32_t state) {
  say("button %u %s", button, state == WL_POINTER_BUTTON_STATE_PRESSED ? "pressed" : "released");
}
const char* axisName(std::uint32_t axis) { return axis == WL_POINTER_AXIS_VERTICAL_SCROLL ? "vertical" : "horizontal"; }
void pointerAxis(void*, wl_pointer*, std::uint32_t, std::uint32_t axis, wl_fixed_t value) {
  say("axis %s %.2f", axisName(axis), wl_fixed_to_double(value));
}
void pointerFrame(void*, wl_pointer*) {}
void pointerAxisSource(void*, wl_pointer*, std::uint32_t) {}
void pointerAxisStop(void*, wl_pointer*, std::uint32_t, std::uint32_t axis) { say("axis-stop %s", axisName(axis)); }
void pointerAxisDiscrete(void*, wl_pointer*, std::uint32_t, std::int32_t) {}
void pointerAxisValue120(void*, wl_pointer*, std::uint32_t, std::int32_t) {}
const wl_pointer_listener pointerListener = {
    pointerEnter, pointerLeave,      pointerMotion,   pointerButton,       pointerAxis,
    pointerFrame, pointerAxisSource, pointerAxisStop, pointerAxisDiscrete, pointerAxisValue120};

void keyboardKeymap(void*, wl_keyboard*, std::uint32_t, std::int32_t fd, std::uint32_t) { close(fd); }
void keyboardEnter(void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) { say("keyboard-enter"); }
void keyboardLeave(void*, wl_keyboard*, std::uint32_t, wl_surface*) {}
void keyboardKey(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t key, std::uint32_t state) {
  say("key %u %s", key, state == WL_KEYBOARD_KEY_STATE_PRESSED ? "pressed" : "released");
}
void keyboardModifiers(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {
}
void keyboardRepeat(void*, wl_keyboard*, std::int32_t, std::int32_t) {}
const wl_keyboard_listener keyboardListener = {keyboardKeymap, keyboardEnter,     keyboardLeave,
                                               keyboardKey,    keyboardModifiers, keyboardRepeat};

void seatCapabilities(void* data, wl_seat* seat, std::uint32_t caps) {
  auto& c = *static_cast<Client*>(data);
  // A capability that goes (the last device of its kind was removed, as happens
  // when a remote-desktop session ends) makes its object inert: a new one is
  // needed once the capability comes back.
  if ((caps & WL_SEAT_CAPABILITY_POINTER) != 0 && c.pointer == nullptr) {
    c.pointer = wl_seat_get_pointer(seat);
    wl_pointer_add_listener(c.pointer, &pointerListener, &c);
  } else if ((caps & WL_SEAT_CAPABILITY_POINTER) == 0 && c.pointer != nullptr) {
    wl_pointer_release(c.pointer);
    c.pointer = nullptr;
  }
  if ((caps & WL_SEAT_CAPABILITY_KEYBOARD) != 0 && c.keyboard == nullptr) {
    c.keyboard = wl_seat_get_keyboard(seat);
    wl_keyboard_add_listener(c.keyboard, &keyboardListener, &c);
  } else if ((caps & WL_SEAT_CAPABILITY_KEYBOARD) == 0 && c.keyboard != nullptr) {
    wl_keyboard_release(c.keyboard);
    c.keyboard = nullptr;
  }
}
void seatName(void*, wl_seat*, const char*) {}
const wl_seat_listener seatListener = {seatCapabilities, seatName};

// ---- registry

void global(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
  auto& c = *static_cast<Client*>(data);
  auto bind = [&](const wl_interface* type, std::uint32_t wanted) {
    return wl_registry_bind(registry, name, type, version < wanted ? version : wanted);
  };
  if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
    c.compositor = static_cast<wl_compositor*>(bind(&wl_compositor_interface, 4));
  } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
    c.shm = static_cast<wl_shm*>(bind(&wl_shm_interface, 1));
  } else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0) {
    c.wmBase = static_cast<xdg_wm_base*>(bind(&xdg_wm_base_interface, 1));
    xdg_wm_base_add_listener(c.wmBase, &wmListener, &c);
  } else if (std::strcmp(interface, wl_seat_interface.name) == 0 && c.seat == nullptr) {
    c.seat = static_cast<wl_seat*>(bind(&wl_seat_interface, 5));
    wl_seat_add_listener(c.seat, &seatListener, &c);
  } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
    auto* o = new Output();
    o->globalName = name;
    o->output = static_cast<wl_output*>(bind(&wl_output_interface, 4));
    wl_output_add_listener(o->output, &outputListener, o);
    c.outputs[name] = o;
  }
}

void globalRemove(void* data, wl_registry*, std::uint32_t name) {
  auto& c = *static_cast<Client*>(data);
  auto found = c.outputs.find(name);
  if (found == c.outputs.end()) return;
  const Output* o = found->second;
  say("output-removed %s", o->name.empty() ? o->model.c_str() : o->name.c_str());
  wl_output_destroy(found->second->output);
  delete found->second;
  c.outputs.erase(found);
}
const wl_registry_listener registryListener = {global, globalRemove};

}  // namespace

int main(int argc, char** argv) {
  Client c;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--animate") == 0) {
      c.animate = true;
    } else {
      std::fprintf(stderr, "usage: %s [--animate]\n", argv[0]);
      return 2;
    }
  }
  c.display = wl_display_connect(nullptr);
  if (c.display == nullptr) {
    std::fprintf(stderr, "cannot connect to the Wayland display\n");
    return 1;
  }
  c.registry = wl_display_get_registry(c.display);
  wl_registry_add_listener(c.registry, &registryListener, &c);
  wl_display_roundtrip(c.display);
  wl_display_roundtrip(c.display);
  if (c.compositor == nullptr || c.shm == nullptr || c.wmBase == nullptr) {
    std::fprintf(stderr, "the compositor lacks wl_compositor, wl_shm or xdg_wm_base\n");
    return 1;
  }
  c.surface = wl_compositor_create_surface(c.compositor);
  c.xdgSurface = xdg_wm_base_get_xdg_surface(c.wmBase, c.surface);
  xdg_surface_add_listener(c.xdgSurface, &surfaceListener, &c);
  c.toplevel = xdg_surface_get_toplevel(c.xdgSurface);
  xdg_toplevel_add_listener(c.toplevel, &toplevelListener, &c);
  xdg_toplevel_set_title(c.toplevel, "marlinax test client");
  // Fullscreen on the first output, so surface coordinates equal that output's.
  wl_output* first = c.outputs.empty() ? nullptr : c.outputs.begin()->second->output;
  xdg_toplevel_set_fullscreen(c.toplevel, first);
  wl_surface_commit(c.surface);
  while (wl_display_dispatch(c.display) != -1) {
  }
  std::fprintf(stderr, "the Wayland connection ended\n");
  return 1;
}
