#include "transport/ServiceBrowser.h"

#include <mutex>

#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/error.h>
#include <net/if.h>

#include "async/Queue.h"
#include "transport/AvahiClientKeeper.h"

namespace marlinax::transport {
namespace {

class Browsing final : public AvahiClientKeeper {
 public:
  Browsing(std::string type, async::Queue<ServiceEndpoint> queue)
      : AvahiClientKeeper("browsing " + type), type_(std::move(type)), queue_(std::move(queue)) {
    start();
  }
  ~Browsing() override { stop(); }

 private:
  void running(AvahiClient* client) override {
    if (browser_ != nullptr) {
      return;
    }
    browser_ = avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type_.c_str(), nullptr,
                                         AvahiLookupFlags(0), browseCallback, this);
    if (browser_ == nullptr) {
      warn(std::string("cannot browse: ") + avahi_strerror(avahi_client_errno(client)));
    }
  }

  void lost() override { browser_ = nullptr; }

  static void browseCallback(AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol protocol,
                             AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                             AvahiLookupResultFlags, void* userdata) {
    auto* self = static_cast<Browsing*>(userdata);
    switch (event) {
    case AVAHI_BROWSER_NEW:
      // The resolver frees itself in its callback.
      if (avahi_service_resolver_new(avahi_service_browser_get_client(browser), interface, protocol, name, type, domain,
                                     AVAHI_PROTO_UNSPEC, AvahiLookupFlags(0), resolveCallback, self) == nullptr) {
        self->warn(std::string("cannot resolve \"") + name +
                   "\": " + avahi_strerror(avahi_client_errno(avahi_service_browser_get_client(browser))));
      }
      break;
    case AVAHI_BROWSER_FAILURE:
      self->warn(std::string("browsing failed: ") +
                 avahi_strerror(avahi_client_errno(avahi_service_browser_get_client(browser))));
      break;
    case AVAHI_BROWSER_REMOVE:
    case AVAHI_BROWSER_CACHE_EXHAUSTED:
    case AVAHI_BROWSER_ALL_FOR_NOW: break;
    }
  }

  static void resolveCallback(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol,
                              AvahiResolverEvent event, const char* name, const char*, const char*, const char*,
                              const AvahiAddress* address, std::uint16_t port, AvahiStringList*, AvahiLookupResultFlags,
                              void* userdata) {
    auto* self = static_cast<Browsing*>(userdata);
    if (event == AVAHI_RESOLVER_FOUND && address != nullptr) {
      char text[AVAHI_ADDRESS_STR_MAX] = {};
      avahi_address_snprint(text, sizeof text, address);
      ServiceEndpoint endpoint{name, text, port};
      // An IPv6 link-local address is only reachable through its interface.
      const auto* bytes = address->data.ipv6.address;
      if (address->proto == AVAHI_PROTO_INET6 && bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80) {
        char interfaceName[IF_NAMESIZE] = {};
        if (if_indextoname(static_cast<unsigned>(interface), interfaceName) != nullptr) {
          endpoint.host += std::string("%") + interfaceName;
        }
      }
      self->queue_.push(std::move(endpoint));
    } else if (event == AVAHI_RESOLVER_FAILURE) {
      self->warn(std::string("cannot resolve \"") + name +
                 "\": " + avahi_strerror(avahi_client_errno(avahi_service_resolver_get_client(resolver))));
    }
    avahi_service_resolver_free(resolver);
  }

  const std::string type_;
  async::Queue<ServiceEndpoint> queue_;
  AvahiServiceBrowser* browser_ = nullptr;
};

}  // namespace

class ServiceBrowser::State {
 public:
  explicit State(std::string type) : browsing_(std::make_unique<Browsing>(std::move(type), queue_)) {}

  void terminate() {
    std::unique_ptr<Browsing> browsing;
    {
      std::lock_guard lock(mutex_);
      browsing = std::move(browsing_);
    }
    browsing.reset();  // stops the Avahi thread: no more pushes after this
    queue_.finish();
  }

  async::Queue<ServiceEndpoint>& queue() { return queue_; }

 private:
  async::Queue<ServiceEndpoint> queue_;
  std::mutex mutex_;
  std::unique_ptr<Browsing> browsing_;
};

ServiceBrowser::ServiceBrowser(std::shared_ptr<State> state) : state_(std::move(state)) {}
ServiceBrowser::ServiceBrowser(ServiceBrowser&&) noexcept = default;

ServiceBrowser& ServiceBrowser::operator=(ServiceBrowser&& other) noexcept {
  if (this != &other) {
    terminate();
    state_ = std::move(other.state_);
  }
  return *this;
}

ServiceBrowser::~ServiceBrowser() { terminate(); }

asio::awaitable<std::optional<ServiceEndpoint>> ServiceBrowser::next() {
  auto state = state_;
  co_return co_await state->queue().next();
}

void ServiceBrowser::terminate() {
  if (state_) {
    state_->terminate();
  }
}

ServiceBrowser browse(asio::any_io_executor /*executor*/, std::string type) {
  return ServiceBrowser(std::make_shared<ServiceBrowser::State>(std::move(type)));
}

}  // namespace marlinax::transport
