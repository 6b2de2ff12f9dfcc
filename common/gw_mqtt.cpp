// Placeholder until the uplink lands.
#include "gw_mqtt.h"

namespace gw {

int connect_with_retry(struct mosquitto *, const char *, int, int) { return 1; }
int publish_message(struct mosquitto *, const char *, const char *, int) { return 1; }

}  // namespace gw
