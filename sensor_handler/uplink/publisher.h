// The batch publisher: once per posting period, while the broker is
// connected, publish_thread selects the next batch of rows after the select
// cursor and publishes it as one JSON message on the configured topic.
// At most once: a batch is never selected twice and never retried.
#pragma once

namespace sensor_handler {

void *publish_thread(void *unused);

}  // namespace sensor_handler
