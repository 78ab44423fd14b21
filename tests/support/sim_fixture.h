// A test fixture that gives each test a fresh application state, a recording UI and an open
// simulated device.
#pragma once

#include <gtest/gtest.h>

#include "app/app_state.h"
#include "device/sim_platform.h"
#include "support/recording_ui.h"

class SimDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetAppState(&ui, &platform);
    ASSERT_EQ(g_app.hidCmd.FindDevice(), 1);
  }
  void TearDown() override { ResetAppState(nullptr, nullptr); }

  // Requests of one kind in the device's log, in order, by address.
  std::vector<uint32_t> Addresses(SimRequestKind kind) const {
    std::vector<uint32_t> out;
    for (const SimRecord& r : device.log)
      if (r.kind == kind) out.push_back(r.address);
    return out;
  }

  CSimDevice device;
  CSimPlatform platform{&device};
  CRecordingUi ui;
};
