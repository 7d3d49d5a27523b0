#include "transport/AvahiClientKeeper.h"

#include <avahi-common/error.h>
#include <avahi-common/timeval.h>

#include "log/Log.h"

namespace marlinax::transport {
namespace {

// How long to wait before trying again when D-Bus itself is unreachable
// (the client library then fails at once instead of waiting for the daemon).
constexpr unsigned kRetryMilliseconds = 2000;

}  // namespace

AvahiClientKeeper::AvahiClientKeeper(std::string purpose) : purpose_(std::move(purpose)) {}

// A subclass that stopped first left nothing to do here; one that did not
// still has its entries withdrawn, without a call into its destroyed part.
AvahiClientKeeper::~AvahiClientKeeper() { shutDown(false); }

void AvahiClientKeeper::log(const std::string& line) const { log::info("DNS-SD " + purpose_ + ": " + line); }

void AvahiClientKeeper::warn(const std::string& line) const { log::warning("DNS-SD " + purpose_ + ": " + line); }

void AvahiClientKeeper::start() {
  poll_ = avahi_threaded_poll_new();
  if (poll_ == nullptr) {
    warn("cannot create the Avahi event loop");
    return;
  }
  const AvahiPoll* api = avahi_threaded_poll_get(poll_);
  retry_ = api->timeout_new(api, nullptr, retryCallback, this);
  // The thread is not running yet, so no lock is needed for the first client.
  createClient();
  if (avahi_threaded_poll_start(poll_) < 0) {
    warn("cannot start the Avahi event loop");
    return;
  }
  started_ = true;
}

void AvahiClientKeeper::stop() { shutDown(true); }

void AvahiClientKeeper::shutDown(bool notify) {
  if (poll_ == nullptr) {
    return;
  }
  if (started_) {
    avahi_threaded_poll_stop(poll_);
    started_ = false;
  }
  if (client_ != nullptr) {
    if (notify) lost();
    avahi_client_free(client_);  // frees its groups and browsers: withdraws entries
    client_ = nullptr;
  }
  if (retry_ != nullptr) {
    avahi_threaded_poll_get(poll_)->timeout_free(retry_);
    retry_ = nullptr;
  }
  avahi_threaded_poll_free(poll_);
  poll_ = nullptr;
}

void AvahiClientKeeper::createClient() {
  int error = 0;
  // NO_FAIL: if the daemon is absent the client waits for it instead of failing.
  AvahiClient* client =
      avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL, clientCallback, this, &error);
  if (client == nullptr) {
    if (!reportedTrouble_) {
      warn(std::string("cannot reach the Avahi daemon (") + avahi_strerror(error) + "); retrying in the background");
      reportedTrouble_ = true;
    }
    scheduleRetry(kRetryMilliseconds);
    return;
  }
  client_ = client;
}

void AvahiClientKeeper::scheduleRetry(unsigned milliseconds) {
  if (retry_ == nullptr) {
    return;
  }
  struct timeval when;
  avahi_elapse_time(&when, milliseconds, 0);
  avahi_threaded_poll_get(poll_)->timeout_update(retry_, &when);
}

void AvahiClientKeeper::retryCallback(AvahiTimeout* timeout, void* userdata) {
  auto* self = static_cast<AvahiClientKeeper*>(userdata);
  avahi_threaded_poll_get(self->poll_)->timeout_update(timeout, nullptr);
  if (self->client_ != nullptr) {
    self->lost();
    avahi_client_free(self->client_);
    self->client_ = nullptr;
  }
  self->createClient();
}

void AvahiClientKeeper::clientCallback(AvahiClient* client, AvahiClientState state, void* userdata) {
  auto* self = static_cast<AvahiClientKeeper*>(userdata);
  switch (state) {
  case AVAHI_CLIENT_S_RUNNING:
    if (self->reportedTrouble_) {
      self->log("Avahi daemon available again");
      self->reportedTrouble_ = false;
    }
    self->running(client);
    break;
  case AVAHI_CLIENT_S_REGISTERING:
  case AVAHI_CLIENT_S_COLLISION: self->registering(client); break;
  case AVAHI_CLIENT_CONNECTING:
    if (!self->reportedTrouble_) {
      self->warn("waiting for the Avahi daemon");
      self->reportedTrouble_ = true;
    }
    break;
  case AVAHI_CLIENT_FAILURE: {
    const int error = avahi_client_errno(client);
    if (!self->reportedTrouble_) {
      self->warn(std::string("lost the Avahi daemon (") + avahi_strerror(error) + ")");
      self->reportedTrouble_ = true;
    }
    // The client cannot be freed inside its own callback (this may even run
    // inside avahi_client_new): replace it from the timer. After a daemon
    // restart a new NO_FAIL client waits for the daemon by itself.
    self->scheduleRetry(error == AVAHI_ERR_DISCONNECTED ? 0 : kRetryMilliseconds);
    break;
  }
  }
}

}  // namespace marlinax::transport
