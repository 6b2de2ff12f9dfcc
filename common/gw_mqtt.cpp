#include "gw_mqtt.h"

#include <cstring>
#include <mosquitto.h>

#include "gw_pacing.h"

namespace gw {

int connect_with_retry(struct mosquitto *client, const char *host, int port, int keep_alive) {
  mark_connect_busy();
  // A cancelled pacing means the service run is ending (also a restart that
  // did not come through the stop routine), so it ends the retries as well.
  while (connect_stop.load(std::memory_order_acquire) == 0 && pacing_cancelled.load() == 0) {
    if (mosquitto_connect(client, host, port, keep_alive) == MOSQ_ERR_SUCCESS) break;
    pacing_sleep(2000);
  }
  const bool stopped = connect_stop.load(std::memory_order_acquire) != 0 || pacing_cancelled.load() != 0;
  mark_connect_idle();
  return stopped ? 1 : 0;
}

int publish_message(struct mosquitto *client, const char *topic, const char *payload, int qos) {
  if (connect_stop.load(std::memory_order_acquire) != 0) return 1;
  if (client == nullptr) return 1;
  const int result = mosquitto_publish(client, nullptr, topic, static_cast<int>(std::strlen(payload)),
                                       payload, qos, false);
  return result == MOSQ_ERR_SUCCESS ? 0 : 1;
}

}  // namespace gw
