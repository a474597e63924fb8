// The fixtures that give every test a device of its own.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform_testing.h"
#include "test_support.h"

// A fresh device root for each test; a fault a test planned but did not reach is dropped with it.
class DeviceTest : public testing::Test {
 protected:
  void SetUp() override { UseDeviceRoot(device_.path()); }
  void TearDown() override { PlatTestClearFaults(); }
  // Where a device path below the root lies on the host; relative is UTF-8, with "/" separators.
  fs::path Host(const std::string& relative) const { return device_.path() / fs::u8path(relative); }

  ScratchDir device_;
};

// A device with an empty "out" folder and a "pkg" folder for the package pkg\p.7z.
class PackageTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    fs::create_directories(Out());
    fs::create_directories(Host("pkg"));
  }
  fs::path Out() const { return Host("out"); }
  fs::path Package() const { return Host("pkg/p.7z"); }
  void Use(const std::string& premade) { fs::copy_file(PremadePackage(premade), Package()); }
};
