#pragma once

// Ethernet cameras on a private network: a lab of network namespaces where the host (this test's
// thread, 192.0.2.1/24 on "eth0") and each simulated camera (a namespace of its own on the same
// segment) meet, so discovery, register access and the stream run over real sockets and veth
// adapters. Root only. Link `quelnor_cameralab`, include "cameralab/EthCameraLab.h".
//
//   if (auto why = quelnor::test::EthCameraLab::unavailableReason(); !why.empty()) GTEST_SKIP() << why;
//   quelnor::test::EthCameraLab lab;
//   auto& sim = lab.addCamera("QNETH0001");           // 192.0.2.11, 192.0.2.12, ...
//   auto inside = lab.enterHost();                     // this thread now sees only the lab's adapter
//   quelnor::DvsCameraManager manager;
//   auto descriptions = manager.getCameraDescs();
//
// Threads a thread starts inside the host namespace start there too (the camera's own threads).
// Release the cameras before the lab: the simulators stop, then the namespaces go.

#include <map>
#include <memory>
#include <string>

#include "ethsim/EthCameraSim.h"
#include "netns/NetnsLab.h"

namespace quelnor::test {

class EthCameraLab {
public:
    static constexpr const char* HOST_ADDRESS = "192.0.2.1";
    static constexpr const char* MASK = "255.255.255.0";
    static constexpr const char* GATEWAY = "192.0.2.254";

    // Empty when the lab can be built here; otherwise why not.
    static std::string unavailableReason();

    EthCameraLab();
    ~EthCameraLab();
    EthCameraLab(const EthCameraLab&) = delete;
    EthCameraLab& operator=(const EthCameraLab&) = delete;

    // A simulated camera with that serial in a namespace of its own, started. The configuration's
    // address, mask, gateway and namespace are the lab's.
    EthCameraSim& addCamera(const std::string& serial, EthCameraSimConfig config = {});
    EthCameraSim& camera(const std::string& serial);
    // The camera vanishes: its simulator stops (its namespace stays).
    void removeCamera(const std::string& serial);
    // The camera comes back: a fresh simulator with the same configuration, started.
    EthCameraSim& restoreCamera(const std::string& serial);

    NetnsLab::Inside enterHost() const;
    NetnsLab& network() { return lab; }

private:
    struct Camera {
        EthCameraSimConfig config;
        std::unique_ptr<EthCameraSim> sim;
    };

    NetnsLab lab;
    std::map<std::string, Camera> cameras;
    int nextHost = 0;
};

} // namespace quelnor::test
