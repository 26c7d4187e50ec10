// A fresh simulated machine for each test: its own root in a scratch folder,
// installed as the current machine for the test's lifetime.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "os/machine.h"
#include "os/testing/test_support.h"

namespace os::test {

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    machine_ = TMachine::Open(dir_.Path() + "/machine");
    ASSERT_NE(machine_, nullptr);
    scoped_ = std::make_unique<TScopedMachine>(*machine_);
  }
  void TearDown() override { scoped_.reset(); }

  // The host path of a file on drive C:, written without the layer under test.
  std::string OnC(const std::string& relative) const {
    return machine_->DriveFolder('C') + "/" + relative;
  }

  TTempDir dir_;
  std::unique_ptr<TMachine> machine_;
  std::unique_ptr<TScopedMachine> scoped_;
};

}  // namespace os::test
