// Placeholder connection cycle until the uplink lands; the publish path is
// real.
#include "mqtt_link.h"

#include <mosquitto.h>
#include <mutex>

#include "config/configuration.h"
#include "gw_mqtt.h"
#include "lifecycle/stop_flags.h"

namespace sensor_handler {

std::atomic<bool> mqtt_connected{false};

namespace {
std::mutex mqtt_client_lock;              // guards mqtt_client
struct mosquitto *mqtt_client = nullptr;  // the current client, or none
}  // namespace

void *mqtt_thread(void *) {
  wait_for_stop_request();
  return nullptr;
}

void set_mqtt_client(struct mosquitto *client) {
  std::lock_guard<std::mutex> hold(mqtt_client_lock);
  mqtt_client = client;
}

int publish_to_broker(const char *topic, const char *payload) {
  std::lock_guard<std::mutex> hold(mqtt_client_lock);
  if (mqtt_client == nullptr) return 1;
  return gw::publish_message(mqtt_client, topic, payload, static_cast<int>(service_config.mqtt_qos));
}

void disconnect_mqtt_client() {}

void destroy_mqtt_client() {
  std::lock_guard<std::mutex> hold(mqtt_client_lock);
  if (mqtt_client != nullptr) mosquitto_destroy(mqtt_client);
  mqtt_client = nullptr;
}

}  // namespace sensor_handler
