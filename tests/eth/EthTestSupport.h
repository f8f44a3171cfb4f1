#pragma once

// Shared set-up of the Ethernet tests that talk to the camera simulator over loopback.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "QuelnorHal/interface/EthInterface.h"
#include "ethsim/EthCameraSim.h"
#include "netns/NetnsLab.h"

namespace quelnor::test {

constexpr const char* HOST_ADDRESS = "127.0.0.1";

// As root the test process moves into a private network namespace of its own (first call, on the
// main thread, before any other thread starts), so port 3956 is never shared with other processes.
// Otherwise every camera gets a loopback address of its own, which keeps parallel runs apart too.
// Returns whether the process runs in its private namespace.
inline bool prepareLoopback() {
    static const bool isolated = [] {
        std::string why;
        const bool ok = isolateNetwork(&why);
        if (!ok) {
            std::fprintf(stderr, "note: using the shared network namespace (%s)\n", why.c_str());
        }
        return ok;
    }();
    return isolated;
}

// A loopback address no other camera of this process and (very likely) no other process uses.
inline std::string nextCameraAddress() {
    static std::atomic<int> counter{0};
    const int n = counter.fetch_add(1);
    const unsigned pid = static_cast<unsigned>(::getpid());
    return "127." + std::to_string((pid >> 8) & 0xFF) + "." + std::to_string(pid & 0xFF) + "." +
           std::to_string(2 + n % 250);
}

// A simulated camera on loopback, with its configuration to adjust before startCamera().
class EthLoopbackTest : public testing::Test {
protected:
    void SetUp() override {
        prepareLoopback();
        config.ip = nextCameraAddress();
        config.mask = "255.0.0.0";
    }

    void TearDown() override {
        if (camera) {
            camera->stop();
        }
    }

    EthCameraSim& startCamera() {
        camera = std::make_unique<EthCameraSim>(config);
        camera->start();
        return *camera;
    }

    std::shared_ptr<EthInterface> connect() {
        return EthInterface::createEthInterface(camera->description(HOST_ADDRESS));
    }

    static bool eventually(const std::function<bool()>& condition,
                           std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        return EthCameraSim::waitUntil(condition, timeout);
    }

    EthCameraSimConfig config;
    std::unique_ptr<EthCameraSim> camera;
};

} // namespace quelnor::test
