#include "platform/wayland/DisplayConfig.h"

#include <algorithm>

#include "platform/wayland/Bus.h"

namespace marlinax::platform::wayland {

std::uint32_t displayIdentifier(std::string_view connector) {
  std::uint32_t hash = 2166136261u;
  for (unsigned char c : connector) {
    hash ^= c;
    hash *= 16777619u;
  }
  return hash == 0 ? 1 : hash;
}

std::vector<GnomeDisplay> layoutDisplays(const std::vector<PhysicalMonitor>& monitors,
                                         const std::vector<LogicalMonitor>& logicalMonitors, LayoutMode mode) {
  std::vector<GnomeDisplay> displays;
  for (const LogicalMonitor& logical : logicalMonitors) {
    const PhysicalMonitor* monitor = nullptr;
    for (const std::string& connector : logical.connectors) {
      auto found = std::find_if(monitors.begin(), monitors.end(), [&](const PhysicalMonitor& m) {
        return m.connector == connector && m.width > 0 && m.height > 0;
      });
      if (found != monitors.end()) {
        monitor = &*found;
        break;
      }
    }
    if (monitor == nullptr || !(logical.scale > 0)) continue;
    double width = monitor->width;
    double height = monitor->height;
    if (logical.transform % 2 == 1) std::swap(width, height);
    double streamScale = 1;
    if (mode == LayoutMode::logical) {
      width /= logical.scale;
      height /= logical.scale;
      streamScale = logical.scale;
    }
    GnomeDisplay display;
    display.connector = monitor->connector;
    display.info.displayID = displayIdentifier(monitor->connector);
    display.info.frame = {static_cast<double>(logical.x), static_cast<double>(logical.y), width, height};
    display.streamScale = streamScale;
    displays.push_back(std::move(display));
  }
  return displays;
}

const GnomeDisplay* displayAt(const std::vector<GnomeDisplay>& displays, double x, double y) {
  for (const GnomeDisplay& display : displays) {
    const codec::Rect& f = display.info.frame;
    if (x >= f.x && y >= f.y && x < f.x + f.width && y < f.y + f.height) return &display;
  }
  return nullptr;
}

namespace {

void check(int result, const char* what) {
  if (result < 0)
    throw BusError(describeBusError(std::string("unexpected DisplayConfig state (") + what + ")", result));
}

// Skips one dictionary entry's value, keeping its key.
std::string readDictKey(sd_bus_message* m) {
  const char* key = nullptr;
  check(sd_bus_message_read(m, "s", &key), "key");
  return key;
}

PhysicalMonitor readMonitor(sd_bus_message* m) {
  PhysicalMonitor monitor;
  check(sd_bus_message_enter_container(m, SD_BUS_TYPE_STRUCT, "(ssss)a(siiddada{sv})a{sv}"), "monitor");
  const char *connector = nullptr, *vendor = nullptr, *product = nullptr, *serial = nullptr;
  check(sd_bus_message_read(m, "(ssss)", &connector, &vendor, &product, &serial), "monitor spec");
  monitor.connector = connector;
  check(sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "(siiddada{sv})"), "modes");
  for (;;) {
    int entered = sd_bus_message_enter_container(m, SD_BUS_TYPE_STRUCT, "siiddada{sv}");
    check(entered, "mode");
    if (entered == 0) break;
    const char* id = nullptr;
    int width = 0, height = 0;
    double refresh = 0, preferredScale = 0;
    check(sd_bus_message_read(m, "siidd", &id, &width, &height, &refresh, &preferredScale), "mode values");
    check(sd_bus_message_skip(m, "ad"), "scales");
    bool current = false;
    check(sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sv}"), "mode properties");
    for (;;) {
      int entry = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv");
      check(entry, "mode property");
      if (entry == 0) break;
      std::string key = readDictKey(m);
      if (key == "is-current") {
        int value = 0;
        check(sd_bus_message_read(m, "v", "b", &value), "is-current");
        current = value != 0;
      } else {
        check(sd_bus_message_skip(m, "v"), "mode property value");
      }
      check(sd_bus_message_exit_container(m), "mode property");
    }
    check(sd_bus_message_exit_container(m), "mode properties");
    check(sd_bus_message_exit_container(m), "mode");
    if (current) {
      monitor.width = width;
      monitor.height = height;
    }
  }
  check(sd_bus_message_exit_container(m), "modes");
  check(sd_bus_message_skip(m, "a{sv}"), "monitor properties");
  check(sd_bus_message_exit_container(m), "monitor");
  return monitor;
}

LogicalMonitor readLogicalMonitor(sd_bus_message* m) {
  LogicalMonitor logical;
  check(sd_bus_message_enter_container(m, SD_BUS_TYPE_STRUCT, "iiduba(ssss)a{sv}"), "logical monitor");
  int primary = 0;
  check(sd_bus_message_read(m, "iidub", &logical.x, &logical.y, &logical.scale, &logical.transform, &primary),
        "logical monitor values");
  check(sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "(ssss)"), "logical monitor's monitors");
  for (;;) {
    const char *connector = nullptr, *vendor = nullptr, *product = nullptr, *serial = nullptr;
    int read = sd_bus_message_read(m, "(ssss)", &connector, &vendor, &product, &serial);
    check(read, "logical monitor's monitor");
    if (read == 0) break;
    logical.connectors.emplace_back(connector);
  }
  check(sd_bus_message_exit_container(m), "logical monitor's monitors");
  check(sd_bus_message_skip(m, "a{sv}"), "logical monitor properties");
  check(sd_bus_message_exit_container(m), "logical monitor");
  return logical;
}

}  // namespace

std::vector<GnomeDisplay> currentDisplays(Bus& bus) {
  Message reply = bus.call("org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                           "org.gnome.Mutter.DisplayConfig", "GetCurrentState", nullptr);
  sd_bus_message* m = reply.get();
  std::uint32_t serial = 0;
  check(sd_bus_message_read(m, "u", &serial), "serial");
  std::vector<PhysicalMonitor> monitors;
  check(sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "((ssss)a(siiddada{sv})a{sv})"), "monitors");
  while (sd_bus_message_at_end(m, false) == 0) monitors.push_back(readMonitor(m));
  check(sd_bus_message_exit_container(m), "monitors");
  std::vector<LogicalMonitor> logicalMonitors;
  check(sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "(iiduba(ssss)a{sv})"), "logical monitors");
  while (sd_bus_message_at_end(m, false) == 0) logicalMonitors.push_back(readLogicalMonitor(m));
  check(sd_bus_message_exit_container(m), "logical monitors");
  LayoutMode mode = LayoutMode::logical;
  check(sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sv}"), "properties");
  for (;;) {
    int entry = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv");
    check(entry, "property");
    if (entry == 0) break;
    std::string key = readDictKey(m);
    if (key == "layout-mode") {
      std::uint32_t value = 1;
      check(sd_bus_message_read(m, "v", "u", &value), "layout-mode");
      mode = value == 2 ? LayoutMode::physical : LayoutMode::logical;
    } else {
      check(sd_bus_message_skip(m, "v"), "property value");
    }
    check(sd_bus_message_exit_container(m), "property");
  }
  return layoutDisplays(monitors, logicalMonitors, mode);
}

}  // namespace marlinax::platform::wayland
