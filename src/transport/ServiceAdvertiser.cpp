#include "transport/ServiceAdvertiser.h"

#include <mutex>

#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>

#include "transport/AvahiClientKeeper.h"

namespace marlinax::transport {
namespace {

// A service name is one DNS label: at most 63 bytes. Cut longer names at a
// UTF-8 character boundary.
std::string labelSized(std::string name) {
  constexpr std::size_t kMaximum = 63;
  if (name.size() <= kMaximum) {
    return name;
  }
  std::size_t end = kMaximum;
  while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) {
    --end;
  }
  name.resize(end);
  return name;
}

}  // namespace

class ServiceAdvertiser::Impl final : public AvahiClientKeeper {
 public:
  Impl(std::string name, std::string type, std::uint16_t port)
      : AvahiClientKeeper("advertising " + type), name_(labelSized(std::move(name))), type_(std::move(type)),
        port_(port) {
    start();
  }
  ~Impl() override { stop(); }

  std::string name() const {
    std::lock_guard lock(mutex_);
    return name_;
  }
  bool established() const {
    std::lock_guard lock(mutex_);
    return established_;
  }

 private:
  void running(AvahiClient* client) override {
    if (group_ == nullptr) {
      group_ = avahi_entry_group_new(client, groupCallback, this);
      if (group_ == nullptr) {
        warn(std::string("cannot create an entry group: ") + avahi_strerror(avahi_client_errno(client)));
        return;
      }
    }
    if (avahi_entry_group_is_empty(group_)) {
      addService();
    }
  }

  void registering(AvahiClient*) override {
    setEstablished(false);
    if (group_ != nullptr) {
      avahi_entry_group_reset(group_);
    }
  }

  void lost() override {
    setEstablished(false);
    group_ = nullptr;
  }

  void addService() {
    for (;;) {
      const std::string name = this->name();
      const int result =
          avahi_entry_group_add_service_strlst(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                               name.c_str(), type_.c_str(), nullptr, nullptr, port_, nullptr);
      if (result == AVAHI_ERR_COLLISION) {
        rename();
        avahi_entry_group_reset(group_);
        continue;
      }
      if (result < 0) {
        warn(std::string("cannot add the service: ") + avahi_strerror(result));
        return;
      }
      break;
    }
    const int result = avahi_entry_group_commit(group_);
    if (result < 0) {
      warn(std::string("cannot commit the service: ") + avahi_strerror(result));
    }
  }

  void rename() {
    std::lock_guard lock(mutex_);
    char* alternative = avahi_alternative_service_name(name_.c_str());
    log("the name \"" + name_ + "\" is taken; trying \"" + alternative + "\"");
    name_ = alternative;
    avahi_free(alternative);
  }

  void setEstablished(bool value) {
    std::lock_guard lock(mutex_);
    established_ = value;
  }

  static void groupCallback(AvahiEntryGroup* group, AvahiEntryGroupState state, void* userdata) {
    auto* self = static_cast<Impl*>(userdata);
    // Called inside avahi_entry_group_new already, before group_ is set.
    self->group_ = group;
    switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
      self->setEstablished(true);
      self->log("registered \"" + self->name() + "\" on port " + std::to_string(self->port_));
      break;
    case AVAHI_ENTRY_GROUP_COLLISION:
      self->setEstablished(false);
      self->rename();
      avahi_entry_group_reset(group);
      self->addService();
      break;
    case AVAHI_ENTRY_GROUP_FAILURE:
      self->setEstablished(false);
      self->warn(std::string("registration failed: ") +
                 avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
      break;
    case AVAHI_ENTRY_GROUP_UNCOMMITED:
    case AVAHI_ENTRY_GROUP_REGISTERING: break;
    }
  }

  mutable std::mutex mutex_;  // name_ and established_ are read from other threads
  std::string name_;
  const std::string type_;
  const std::uint16_t port_;
  bool established_ = false;
  AvahiEntryGroup* group_ = nullptr;
};

ServiceAdvertiser::ServiceAdvertiser(std::string name, std::string type, std::uint16_t port)
    : impl_(std::make_unique<Impl>(std::move(name), std::move(type), port)) {}

ServiceAdvertiser::~ServiceAdvertiser() = default;

std::string ServiceAdvertiser::name() const { return impl_->name(); }
bool ServiceAdvertiser::established() const { return impl_->established(); }

}  // namespace marlinax::transport
