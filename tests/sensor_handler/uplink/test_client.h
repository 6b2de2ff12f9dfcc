// A broker client of the tests' own, connected to the test broker with its
// network loop on the library's thread: what mqtt_thread would hand to the
// publishers, without mqtt_thread.
#pragma once

#include <atomic>
#include <chrono>
#include <mosquitto.h>
#include <thread>

namespace gwtest {

class TestClient {
 public:
  explicit TestClient(int port) : client_(mosquitto_new(nullptr, true, this)) {
    mosquitto_connect_callback_set(client_, [](mosquitto *, void *self, int rc) {
      static_cast<TestClient *>(self)->connected_ = rc == 0;
    });
    if (mosquitto_connect(client_, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS)
      return;
    for (int i = 0; i < 500 && !connected_; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~TestClient() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }
  TestClient(const TestClient &) = delete;
  TestClient &operator=(const TestClient &) = delete;

  bool ok() const { return connected_; }
  mosquitto *client_;
  std::atomic<bool> connected_{false};
};

}  // namespace gwtest
