#pragma once
// GoogleTest fixture: every test of a derived fixture runs in its own private
// network namespace with a device namespace on the other end of a veth pair.
#include <gtest/gtest.h>

#include <memory>

#include "Sandbox.h"

class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error = sandbox::EnterPrivateNetwork();
        ASSERT_TRUE(error.empty()) << error;
        net = std::make_unique<sandbox::DeviceNetwork>();
        ASSERT_TRUE(net->ok()) << net->error();
    }
    void TearDown() override { net.reset(); }

    std::unique_ptr<sandbox::DeviceNetwork> net;
};

// The same on a switched LAN (sandbox::Layout::Switched): add boxes with net->AddBox.
class SwitchedLanTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error = sandbox::EnterPrivateNetwork();
        ASSERT_TRUE(error.empty()) << error;
        net = std::make_unique<sandbox::DeviceNetwork>(sandbox::Layout::Switched);
        ASSERT_TRUE(net->ok()) << net->error();
    }
    void TearDown() override { net.reset(); }

    std::unique_ptr<sandbox::DeviceNetwork> net;
};
