#include "platform/wayland/GnomeBackend.h"

#include "platform/wayland/Bus.h"
#include "platform/wayland/CaptureGnome.h"
#include "platform/wayland/InputPosterGnome.h"
#include "platform/wayland/VirtualDisplayGnome.h"

namespace marlinax::platform::wayland {

namespace {

bool activatable(Bus& bus, const std::string& name) {
  try {
    Message reply = bus.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                             "ListActivatableNames", nullptr);
    char** names = nullptr;
    if (sd_bus_message_read_strv(reply.get(), &names) < 0) return false;
    bool found = false;
    for (char** n = names; n != nullptr && *n != nullptr; ++n) {
      if (name == *n) found = true;
      free(*n);
    }
    free(names);
    return found;
  } catch (const BusError&) {
    return false;
  }
}

}  // namespace

SessionFacts withBusFacts(SessionFacts facts) {
  std::shared_ptr<Bus> bus;
  try {
    bus = Bus::openSession();
  } catch (const BusError&) {
    return facts;
  }
  facts.mutterOnBus = bus->nameHasOwner("org.gnome.Mutter.ScreenCast") &&
                      bus->nameHasOwner("org.gnome.Mutter.RemoteDesktop") &&
                      bus->nameHasOwner("org.gnome.Mutter.DisplayConfig");
  facts.portalOnBus =
      bus->nameHasOwner("org.freedesktop.portal.Desktop") || activatable(*bus, "org.freedesktop.portal.Desktop");
  return facts;
}

GnomeServices makeGnomeServices() {
  auto bus = Bus::openSession();
  GnomeServices services;
  services.capture = makeGnomeCaptureService(bus);
  auto poster = std::make_shared<InputPosterGnome>(bus);
  services.input = poster;
  services.doubleClickInterval = poster;
  services.virtualDisplays = makeGnomeVirtualDisplayService(bus);
  return services;
}

}  // namespace marlinax::platform::wayland
