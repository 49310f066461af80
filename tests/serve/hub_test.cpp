// The stream's fan-out: a client that does not read loses its oldest events, never the newest,
// and never holds up the publisher; the number of watchers is bounded.
#include <gtest/gtest.h>

#include <future>
#include <string>

#include "tools/zyl/serve/hub.h"

namespace zyl::serve {
namespace {

TEST(Hub, ASlowClientKeepsTheNewestEventsInOrderAndOthersLoseNothing) {
  Hub hub(4, 2);
  auto slow = hub.subscribe({Hub::frame("status", "greeting")});
  auto quick = hub.subscribe({});
  ASSERT_TRUE(slow && quick);
  EXPECT_EQ(hub.subscribe({}), nullptr);  // the third watcher is refused
  std::vector<std::string> seen;
  for (int i = 0; i < 7; ++i) {
    hub.publish("scan", std::to_string(i));
    for (const auto& f : quick->take(std::chrono::milliseconds(0))) seen.push_back(*f);
  }
  EXPECT_EQ(seen.size(), 7u);
  std::vector<std::string> kept;
  for (const auto& f : slow->take(std::chrono::milliseconds(0))) kept.push_back(*f);
  EXPECT_EQ(kept,
            (std::vector<std::string>{"event: scan\ndata: 3\n\n", "event: scan\ndata: 4\n\n",
                                      "event: scan\ndata: 5\n\n", "event: scan\ndata: 6\n\n"}));
  EXPECT_EQ(slow->dropped(), 4u);  // the greeting and scans 0 to 2
  hub.unsubscribe(quick);
  EXPECT_NE(hub.subscribe({}), nullptr);  // its place is free again
}

TEST(Hub, ClosingWakesAWaitingClient) {
  Hub hub;
  auto client = hub.subscribe({});
  auto waiting =
      std::async(std::launch::async, [&] { return client->take(std::chrono::hours(1)); });
  hub.close();
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(waiting.get().empty());
  EXPECT_EQ(hub.subscribe({}), nullptr);
}

}  // namespace
}  // namespace zyl::serve
