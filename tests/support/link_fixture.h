// A fixture with the scripted fake back end installed and a manual clock.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "support/fake_backend.h"
#include "support/manual_clock.h"
#include "zyl/UsbBackend.h"
#include "zyl/ZylInterface.h"

namespace zyl::test {

class FakeLinkTest : public ::testing::Test {
 protected:
  void SetUp() override { zyl::usb::useBackend(fake); }
  void TearDown() override { zyl::usb::useBackend(nullptr); }
  // An instrument object connected to the fake with `version`, the connection's traffic forgotten.
  std::unique_ptr<ZylInterface> connect(const char* version = "VERSION130904A-V3") {
    fake->version = version;
    auto z = std::make_unique<ZylInterface>();
    EXPECT_EQ(z->GetCommunicationState(), CommInitialized);
    fake->clearRecord();
    return z;
  }

  ManualClock clock;
  std::shared_ptr<FakeBackend> fake = std::make_shared<FakeBackend>();
};

}  // namespace zyl::test
