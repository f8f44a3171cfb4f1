#include "cameralab/EthCameraLab.h"

#include <stdexcept>
#include <utility>

namespace quelnor::test {

namespace {
constexpr const char* SEGMENT = "lan";
constexpr const char* HOST = "host";
constexpr const char* ADAPTER = "eth0";
constexpr int FIRST_CAMERA_OCTET = 11;
constexpr uint64_t FIRST_CAMERA_MAC = 0x0050C258C100ULL;
} // namespace

std::string EthCameraLab::unavailableReason() { return netnsUnavailableReason(); }

EthCameraLab::EthCameraLab() {
    lab.addSegment(SEGMENT);
    lab.addHost(HOST);
    lab.connect(HOST, ADAPTER, SEGMENT, std::string(HOST_ADDRESS) + "/24");
}

EthCameraLab::~EthCameraLab() {
    for (auto& [serial, camera] : cameras) {
        if (camera.sim) {
            camera.sim->stop();
        }
    }
}

EthCameraSim& EthCameraLab::addCamera(const std::string& serial, EthCameraSimConfig config) {
    if (cameras.count(serial) != 0) {
        throw std::invalid_argument("EthCameraLab: camera " + serial + " exists");
    }
    const int index = nextHost++;
    const std::string host = "cam" + std::to_string(index);
    const std::string ip = "192.0.2." + std::to_string(FIRST_CAMERA_OCTET + index);
    lab.addHost(host);
    lab.connect(host, ADAPTER, SEGMENT, ip + "/24");
    config.netns = lab.ns(host);
    config.ip = ip;
    config.mask = MASK;
    config.gateway = GATEWAY;
    config.serial = serial;
    config.mac = FIRST_CAMERA_MAC + static_cast<uint64_t>(index);
    Camera& camera = cameras[serial];
    camera.config = config;
    camera.sim = std::make_unique<EthCameraSim>(config);
    camera.sim->start();
    return *camera.sim;
}

EthCameraSim& EthCameraLab::camera(const std::string& serial) {
    auto it = cameras.find(serial);
    if (it == cameras.end() || !it->second.sim) {
        throw std::invalid_argument("EthCameraLab: no camera " + serial);
    }
    return *it->second.sim;
}

void EthCameraLab::removeCamera(const std::string& serial) {
    auto it = cameras.find(serial);
    if (it != cameras.end() && it->second.sim) {
        it->second.sim->stop();
        it->second.sim.reset();
    }
}

EthCameraSim& EthCameraLab::restoreCamera(const std::string& serial) {
    auto it = cameras.find(serial);
    if (it == cameras.end()) {
        throw std::invalid_argument("EthCameraLab: no camera " + serial);
    }
    removeCamera(serial);
    it->second.sim = std::make_unique<EthCameraSim>(it->second.config);
    it->second.sim->start();
    return *it->second.sim;
}

NetnsLab::Inside EthCameraLab::enterHost() const { return lab.enter(HOST); }

} // namespace quelnor::test
