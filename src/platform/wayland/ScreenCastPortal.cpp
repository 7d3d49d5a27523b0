#include "platform/wayland/ScreenCastPortal.h"

#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>

#include <fcntl.h>
#include <unistd.h>

#include "log/Log.h"
#include "platform/wayland/Bus.h"

namespace marlinax::platform::wayland {

namespace {

constexpr const char* portalName = "org.freedesktop.portal.Desktop";
constexpr const char* portalPath = "/org/freedesktop/portal/desktop";
constexpr const char* screenCastInterface = "org.freedesktop.portal.ScreenCast";

void check(int result, const char* what) {
  if (result < 0) throw BusError(describeBusError(std::string("unexpected portal reply (") + what + ")", result));
}

// Walks an a{sv}; `entry` reads the value of the keys it knows and returns
// true, the others are skipped.
void readVardict(sd_bus_message* m, const std::function<bool(const std::string&, sd_bus_message*)>& entry) {
  check(sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sv}"), "dictionary");
  for (;;) {
    int entered = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv");
    check(entered, "dictionary entry");
    if (entered == 0) break;
    const char* key = nullptr;
    check(sd_bus_message_read(m, "s", &key), "key");
    if (!entry(key, m)) check(sd_bus_message_skip(m, "v"), "value");
    check(sd_bus_message_exit_container(m), "dictionary entry");
  }
  check(sd_bus_message_exit_container(m), "dictionary");
}

std::string randomToken(const char* prefix) {
  static std::mt19937_64 random{std::random_device{}()};
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  return std::string(prefix) + std::to_string(random() % 1'000'000'000);
}

}  // namespace

std::filesystem::path restoreTokenPath(const char* stateHome, const char* home) {
  std::filesystem::path base;
  if (stateHome != nullptr && *stateHome == '/') {
    base = stateHome;
  } else if (home != nullptr && *home == '/') {
    base = std::filesystem::path(home) / ".local" / "state";
  } else {
    return {};
  }
  return base / "marlinax" / "screencast-restore-token";
}

bool isRestoreToken(const std::string& text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    char c = text[i];
    if (dash ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

std::optional<std::string> RestoreTokenStore::load() const {
  if (path_.empty()) return std::nullopt;
  std::ifstream in(path_);
  std::string token;
  if (!in || !std::getline(in, token) || !isRestoreToken(token)) return std::nullopt;
  return token;
}

bool RestoreTokenStore::save(const std::string& token) const {
  if (path_.empty() || !isRestoreToken(token)) return false;
  std::error_code error;
  std::filesystem::create_directories(path_.parent_path(), error);
  std::filesystem::path temporary = path_;
  temporary += ".new";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::string line = token + "\n";
  bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  written = ::fsync(fd) == 0 && written;
  ::close(fd);
  if (!written) {
    std::filesystem::remove(temporary, error);
    return false;
  }
  std::filesystem::rename(temporary, path_, error);
  return !error;
}

// One portal request: the call returns a request object whose Response signal
// carries the outcome. The subscription is made before the call, on the path
// the portal will use, so the answer cannot be missed.
class PortalRequest {
 public:
  PortalRequest(Bus& bus, std::shared_ptr<Bus> owner, const std::string& token) {
    std::string sender = bus.locked([](sd_bus* raw) {
      const char* unique = nullptr;
      sd_bus_get_unique_name(raw, &unique);
      return std::string(unique != nullptr ? unique : "");
    });
    if (!sender.empty() && sender[0] == ':') sender.erase(0, 1);
    for (char& c : sender) {
      if (c == '.') c = '_';
    }
    path_ = "/org/freedesktop/portal/desktop/request/" + sender + "/" + token;
    subscription_ = owner->subscribe(path_, "org.freedesktop.portal.Request", "Response", [this](sd_bus_message* m) {
      std::uint32_t response = 2;
      if (sd_bus_message_read(m, "u", &response) < 0) return;
      Answer answer;
      answer.response = response;
      try {
        readVardict(m, [&](const std::string& key, sd_bus_message* v) {
          if (key == "session_handle") {
            const char* handle = nullptr;
            if (sd_bus_message_enter_container(v, SD_BUS_TYPE_VARIANT, nullptr) < 0) return false;
            char type = 0;
            const char* contents = nullptr;
            sd_bus_message_peek_type(v, &type, &contents);
            check(sd_bus_message_read_basic(v, type, &handle), "session_handle");
            answer.session = handle;
            check(sd_bus_message_exit_container(v), "session_handle");
            return true;
          }
          if (key == "devices") {
            check(sd_bus_message_read(v, "v", "u", &answer.devices), "devices");
            return true;
          }
          if (key == "restore_token") {
            const char* token = nullptr;
            check(sd_bus_message_read(v, "v", "s", &token), "restore_token");
            answer.restoreToken = token;
            return true;
          }
          if (key == "streams") {
            check(sd_bus_message_enter_container(v, SD_BUS_TYPE_VARIANT, "a(ua{sv})"), "streams");
            check(sd_bus_message_enter_container(v, SD_BUS_TYPE_ARRAY, "(ua{sv})"), "streams");
            for (;;) {
              int entered = sd_bus_message_enter_container(v, SD_BUS_TYPE_STRUCT, "ua{sv}");
              check(entered, "stream");
              if (entered == 0) break;
              PortalStream stream;
              check(sd_bus_message_read(v, "u", &stream.node), "stream node");
              readVardict(v, [&](const std::string& property, sd_bus_message* p) {
                if (property == "position") {
                  check(sd_bus_message_read(p, "v", "(ii)", &stream.x, &stream.y), "position");
                  return true;
                }
                if (property == "size") {
                  check(sd_bus_message_read(p, "v", "(ii)", &stream.width, &stream.height), "size");
                  stream.hasGeometry = true;
                  return true;
                }
                return false;
              });
              check(sd_bus_message_exit_container(v), "stream");
              answer.streams.push_back(stream);
            }
            check(sd_bus_message_exit_container(v), "streams");
            check(sd_bus_message_exit_container(v), "streams");
            return true;
          }
          return false;
        });
      } catch (const BusError&) {
        answer.response = 2;
      }
      std::lock_guard lock(mutex_);
      answer_ = std::move(answer);
      arrived_.notify_all();
    });
  }

  struct Answer {
    std::uint32_t response = 2;  // 0 success, 1 cancelled by the user, 2 other
    std::string session;
    std::optional<std::string> restoreToken;
    std::vector<PortalStream> streams;
    std::uint32_t devices = 0;
  };

  Answer wait(const char* what, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!arrived_.wait_for(lock, timeout, [&] { return answer_.has_value(); })) {
      throw BusError(std::string("the portal did not answer ") + what + " in time");
    }
    if (answer_->response == 1) throw BusError(std::string("the user cancelled ") + what);
    if (answer_->response != 0) throw BusError(std::string("the portal refused ") + what);
    return *answer_;
  }

 private:
  std::string path_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::optional<Answer> answer_;
  std::unique_ptr<Bus::Subscription> subscription_;
};

ScreenCastPortalSession::ScreenCastPortalSession(std::shared_ptr<Bus> bus, std::optional<std::string> restoreToken,
                                                 std::chrono::milliseconds timeout)
    : bus_(std::move(bus)), timeout_(timeout) {
  std::string token = randomToken("marlinax");
  {
    PortalRequest request(*bus_, bus_, token);
    std::string sessionToken = randomToken("marlinax_session");
    bus_->call(portalName, portalPath, screenCastInterface, "CreateSession", [&](sd_bus_message* m) {
      sd_bus_message_append(m, "a{sv}", 2, "handle_token", "s", token.c_str(), "session_handle_token", "s",
                            sessionToken.c_str());
    });
    session_ = request.wait("the session", timeout_).session;
    if (session_.empty()) throw BusError("the screen-cast portal gave no session");
  }
  token = randomToken("marlinax");
  PortalRequest request(*bus_, bus_, token);
  bool restoring = restoreToken && isRestoreToken(*restoreToken);
  bus_->call(portalName, portalPath, screenCastInterface, "SelectSources", [&](sd_bus_message* m) {
    sd_bus_message_append(m, "o", session_.c_str());
    // Monitors only, all of them, the pointer drawn in, the choice kept until revoked.
    if (restoring) {
      sd_bus_message_append(m, "a{sv}", 6, "handle_token", "s", token.c_str(), "types", "u", 1u, "multiple", "b", 1,
                            "cursor_mode", "u", 2u, "persist_mode", "u", 2u, "restore_token", "s",
                            restoreToken->c_str());
    } else {
      sd_bus_message_append(m, "a{sv}", 5, "handle_token", "s", token.c_str(), "types", "u", 1u, "multiple", "b", 1,
                            "cursor_mode", "u", 2u, "persist_mode", "u", 2u);
    }
  });
  request.wait("the source selection", timeout_);
}

ScreenCastPortalSession::~ScreenCastPortalSession() {
  if (pipeWireFd_ >= 0) ::close(pipeWireFd_);
  if (!session_.empty()) {
    try {
      bus_->call(portalName, session_.c_str(), "org.freedesktop.portal.Session", "Close", nullptr);
    } catch (const BusError& error) {
      log::debug(std::string("closing the screen-cast session failed: ") + error.what());
    }
  }
}

ScreenCastPortalSession::ScreenCastPortalSession(std::shared_ptr<Bus> bus, RemoteDesktop,
                                                 std::chrono::milliseconds timeout)
    : bus_(std::move(bus)), timeout_(timeout), interface_("org.freedesktop.portal.RemoteDesktop") {
  std::string token = randomToken("marlinax");
  {
    PortalRequest request(*bus_, bus_, token);
    std::string sessionToken = randomToken("marlinax_session");
    bus_->call(portalName, portalPath, interface_, "CreateSession", [&](sd_bus_message* m) {
      sd_bus_message_append(m, "a{sv}", 2, "handle_token", "s", token.c_str(), "session_handle_token", "s",
                            sessionToken.c_str());
    });
    session_ = request.wait("the session", timeout_).session;
    if (session_.empty()) throw BusError("the remote-desktop portal gave no session");
  }
  token = randomToken("marlinax");
  {
    PortalRequest request(*bus_, bus_, token);
    bus_->call(portalName, portalPath, interface_, "SelectDevices", [&](sd_bus_message* m) {
      sd_bus_message_append(m, "o", session_.c_str());
      sd_bus_message_append(m, "a{sv}", 2, "handle_token", "s", token.c_str(), "types", "u", 3u);  // keyboard, pointer
    });
    request.wait("the device selection", timeout_);
  }
  token = randomToken("marlinax");
  PortalRequest request(*bus_, bus_, token);
  bus_->call(portalName, portalPath, screenCastInterface, "SelectSources", [&](sd_bus_message* m) {
    sd_bus_message_append(m, "o", session_.c_str());
    sd_bus_message_append(m, "a{sv}", 3, "handle_token", "s", token.c_str(), "types", "u", 1u, "multiple", "b", 1);
  });
  request.wait("the source selection", timeout_);
}

void ScreenCastPortalSession::notify(const char* member, const std::function<void(sd_bus_message*)>& append) {
  bus_->call(portalName, portalPath, interface_, member, [&](sd_bus_message* m) {
    sd_bus_message_append(m, "o", session_.c_str());
    append(m);
  });
}

void ScreenCastPortalSession::start() {
  std::string token = randomToken("marlinax");
  PortalRequest request(*bus_, bus_, token);
  bus_->call(portalName, portalPath, interface_, "Start", [&](sd_bus_message* m) {
    sd_bus_message_append(m, "os", session_.c_str(), "");
    sd_bus_message_append(m, "a{sv}", 1, "handle_token", "s", token.c_str());
  });
  PortalRequest::Answer answer = request.wait("the cast", timeout_);
  streams_ = std::move(answer.streams);
  newToken_ = answer.restoreToken;
  devices_ = answer.devices;
  if (streams_.empty()) throw BusError("the screen-cast portal started no stream");
}

int ScreenCastPortalSession::pipeWireFd() {
  if (pipeWireFd_ >= 0) return pipeWireFd_;
  Message reply = bus_->call(portalName, portalPath, screenCastInterface, "OpenPipeWireRemote",
                             [&](sd_bus_message* m) { sd_bus_message_append(m, "oa{sv}", session_.c_str(), 0); });
  int fd = -1;
  check(sd_bus_message_read(reply.get(), "h", &fd), "PipeWire remote");
  pipeWireFd_ = fcntl(fd, F_DUPFD_CLOEXEC, 3);  // the message owns the one it carries
  if (pipeWireFd_ < 0) throw BusError("cannot keep the portal's PipeWire connection");
  return pipeWireFd_;
}

}  // namespace marlinax::platform::wayland
