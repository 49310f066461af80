// A fixture with the scripted fake back end installed and a manual clock.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "support/FakeBackend.h"
#include "support/ManualClock.h"
#include "zyl/UsbBackend.h"

namespace zyl::test {

class FakeLinkTest : public ::testing::Test {
 protected:
  void SetUp() override { zyl::usb::useBackend(fake); }
  void TearDown() override { zyl::usb::useBackend(nullptr); }

  ManualClock clock;
  std::shared_ptr<FakeBackend> fake = std::make_shared<FakeBackend>();
};

}  // namespace zyl::test
