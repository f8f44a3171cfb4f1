// Ethernet control exchanges under control-datagram loss: the camera simulator in one network
// namespace, EthInterface in another, over a veth pair; the simulator drops the given share of
// requests and of replies (seeded). Needs root (namespaces); skipped otherwise.
//
// Argument: the loss in per mille, each way (0, 10 = 1 %, 50 = 5 %).
//   BM_RegisterReads   1,000 register reads per iteration; counters: failed reads, datagrams dropped
//   BM_FirmwareUpdate  a 1 MiB firmware update (4096 chunks) per iteration; counter: ok (1 = success)
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>

#include "QuelnorHal/interface/EthInterface.h"
#include "device/DeviceDouble.h"
#include "ethsim/EthCameraSim.h"
#include "netns/NetnsLab.h"

namespace {

using namespace quelnor;
using namespace quelnor::test;

constexpr int READS = 1000;
constexpr size_t FIRMWARE_BYTES = 1 << 20;

// One camera and the host's interface to it, in a lab of their own.
struct Rig {
    explicit Rig(double loss) {
        lab.addSegment("lan");
        lab.addHost("host");
        lab.addHost("cam");
        lab.connect("host", "eth0", "lan", "192.0.2.1/24");
        lab.connect("cam", "eth0", "lan", "192.0.2.11/24");
        EthCameraSimConfig config;
        config.netns = lab.ns("cam");
        config.ip = "192.0.2.11";
        camera = std::make_unique<EthCameraSim>(config);
        camera->start();
        inside = std::make_unique<NetnsLab::Inside>(lab.enter("host"));
        eth = EthInterface::createEthInterface(camera->description("192.0.2.1"));
        camera->setControlLoss({loss, loss, 2024});
    }
    ~Rig() {
        eth.reset();
        camera->stop();
    }
    NetnsLab lab;
    std::unique_ptr<EthCameraSim> camera;
    std::unique_ptr<NetnsLab::Inside> inside;
    std::shared_ptr<EthInterface> eth;
};

void dropCounters(benchmark::State& state, const EthCameraSim& camera) {
    const ControlLossStats stats = camera.controlLossStats();
    state.counters["dropped"] = static_cast<double>(stats.requestsDropped + stats.repliesDropped);
    state.counters["repeats"] = static_cast<double>(stats.repeatsAnswered);
}

void BM_RegisterReads(benchmark::State& state) {
    const std::string why = netnsUnavailableReason();
    if (!why.empty()) {
        state.SkipWithError(why.c_str());
        return;
    }
    Rig rig(static_cast<double>(state.range(0)) / 1000.0);
    rig.camera->registers().poke(0x1004, 0x12345678);
    int failed = 0;
    for (auto _ : state) {
        for (int i = 0; i < READS; ++i) {
            uint32_t value = 0;
            failed += !rig.eth->tryReadRegister(0x1004, value) || value != 0x12345678;
        }
    }
    state.counters["failed"] = failed;
    dropCounters(state, *rig.camera);
}

void BM_FirmwareUpdate(benchmark::State& state) {
    const std::string why = netnsUnavailableReason();
    if (!why.empty()) {
        state.SkipWithError(why.c_str());
        return;
    }
    Rig rig(static_cast<double>(state.range(0)) / 1000.0);
    const std::string path = "/tmp/quelnor-bench-fw-" + std::to_string(::getpid()) + ".bin";
    {
        std::mt19937 rng(7);
        std::string bytes(FIRMWARE_BYTES, '\0');
        for (char& b : bytes) {
            b = static_cast<char>(rng());
        }
        std::ofstream(path, std::ios::binary) << bytes;
    }
    int ok = 1;
    for (auto _ : state) {
        ok &= rig.eth->updateFirmware(path, 0) ? 1 : 0;
    }
    std::remove(path.c_str());
    state.counters["ok"] = ok;
    dropCounters(state, *rig.camera);
}

} // namespace

BENCHMARK(BM_RegisterReads)->Arg(0)->Arg(10)->Arg(50)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FirmwareUpdate)->Arg(0)->Arg(10)->Arg(50)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
