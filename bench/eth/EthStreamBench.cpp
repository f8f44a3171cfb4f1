// Ethernet stream throughput: the camera simulator in one network namespace streams over a veth
// pair to EthInterface + EthDataTransfer + EventStream in another; a consumer takes every buffer.
// Needs root (namespaces); skipped otherwise.
//
// Reported per run (10 s of streaming):
//   MB/s      payload bytes delivered to the EventStream consumer per second (1 MB = 10^6 bytes)
//   sent      payload packets the simulator sent (by packet id)
//   received  payload packets that reached the consumer (each payload starts with its packet id)
//   lost      sent - received;  gaps: ids missing in the received sequence
//   rcvbufErrors  datagrams the host's kernel dropped for want of socket buffer
//   rcvbuf    receive buffer granted to the data socket
// With stream loss (the simulator drops that percentage of its packets, by a fixed seed):
//   dropped   packets the simulator dropped;  counted: packets the interface reports lost
//   generatedBytes  payload bytes of all packets, dropped ones included
//   deliveredBytes  payload bytes the consumer got
//   deliveredIsSentMinusLost  1 when deliveredBytes = generatedBytes - dropped x payload
//   lossCounted     1 when the interface counted exactly the packets dropped
// Arguments: the simulator's send rate in MB/s (0: as fast as it can), the loss in percent.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "QuelnorHal/EventStream/DataTransfer.h"
#include "QuelnorHal/EventStream/EventStream.h"
#include "QuelnorHal/interface/EthHandle.h"
#include "QuelnorHal/interface/EthInterface.h"
#include "ethsim/EthCameraSim.h"
#include "netns/NetnsLab.h"

namespace {

using namespace quelnor;
using namespace quelnor::test;

constexpr auto STREAM_TIME = std::chrono::seconds(10);
constexpr size_t PAYLOAD = 1400;

// A counter of the UDP table of the calling thread's network namespace.
long long udpCounter(const std::string& name) {
    std::ifstream in("/proc/thread-self/net/snmp");
    std::string header;
    std::string values;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Udp:", 0) == 0) {
            if (header.empty()) {
                header = line;
            } else {
                values = line;
                break;
            }
        }
    }
    std::istringstream h(header);
    std::istringstream v(values);
    std::string key;
    std::string value;
    while (h >> key && v >> value) {
        if (key == name) {
            return std::stoll(value);
        }
    }
    return -1;
}

void BM_EthStream(benchmark::State& state) {
    const std::string why = netnsUnavailableReason();
    if (!why.empty()) {
        state.SkipWithError(why.c_str());
        return;
    }
    const double rateMBps = static_cast<double>(state.range(0));
    const auto lossPercent = static_cast<unsigned>(state.range(1));

    NetnsLab lab;
    lab.addSegment("lan");
    lab.addHost("host");
    lab.addHost("cam");
    lab.connect("host", "eth0", "lan", "192.0.2.1/24");
    lab.connect("cam", "eth0", "lan", "192.0.2.11/24");

    EthCameraSimConfig config;
    config.netns = lab.ns("cam");
    config.ip = "192.0.2.11";
    EthCameraSim camera(config);
    camera.setStreamPattern();
    camera.setPayloadSize(PAYLOAD);
    camera.setStreamRate(rateMBps * 1e6);
    if (lossPercent > 0) {
        // More ids than 10 s at the fastest rate can use.
        constexpr uint32_t IDS = 3'000'000;
        StreamFaults faults;
        std::mt19937 rng(16);
        for (uint32_t id = 2; id < IDS; ++id) {
            if (rng() % 100 < lossPercent) {
                faults.lost.insert(id);
            }
        }
        camera.setStreamFaults(faults);
    }
    camera.start();

    auto inside = lab.enter("host");
    auto eth = EthInterface::createEthInterface(camera.description("192.0.2.1"));
    int granted = 0;
    {
        // What a data socket is granted, as the interface's own one asks for the same.
        EthHandle probe("192.0.2.1", 0, "192.0.2.11", 0, UDP_UNICAST);
        granted = probe.getReceiveBufferSize();
    }

    for (auto _ : state) {
        EventStream stream(createDataTransferUniquePtr(eth, 2, 131072, 20, USB_DATA_ENDPOINT));
        std::atomic<bool> consuming{true};
        std::atomic<uint64_t> bytes{0};
        std::atomic<uint64_t> packets{0};
        std::atomic<uint64_t> gaps{0};
        std::chrono::steady_clock::time_point first;
        std::chrono::steady_clock::time_point last;
        std::thread consumer([&] {
            uint32_t expected = 0;
            bool started = false;
            while (consuming.load()) {
                if (stream.waitNextBuffer() != 1) {
                    continue;
                }
                auto buffer = stream.getLatestBuffer();
                if (!buffer) {
                    continue;
                }
                const auto& data = **buffer;
                const auto now = std::chrono::steady_clock::now();
                if (!started) {
                    first = now;
                }
                last = now;
                for (size_t at = 0; at + 4 <= data.size(); at += PAYLOAD) {
                    uint32_t id;
                    std::memcpy(&id, data.data() + at, 4);
                    if (started && id != expected) {
                        gaps += (id - expected) & 0xFFFFFF;
                    }
                    expected = (id + 1) & 0xFFFFFF;
                    started = true;
                    ++packets;
                }
                bytes += data.size();
            }
        });
        const long long dropsBefore = udpCounter("RcvbufErrors");
        camera.rewindStream();
        stream.start();
        eth->setEventStream(true);
        std::this_thread::sleep_for(STREAM_TIME);
        eth->setEventStream(false);
        // Let what is under way arrive.
        const auto sent = [&] { return camera.streamStats().packetsSent; };
        uint64_t before = sent();
        EthCameraSim::waitUntil(
            [&] {
                const uint64_t now = sent();
                const bool settled = now == before;
                before = now;
                return settled && packets.load() >= now;
            },
            std::chrono::seconds(3));
        consuming = false;
        consumer.join();
        stream.stop();

        const double seconds = std::chrono::duration<double>(last - first).count();
        const StreamStats stats = camera.streamStats();
        state.counters["MB/s"] = seconds > 0 ? static_cast<double>(bytes.load()) / seconds / 1e6 : 0;
        state.counters["sent"] = static_cast<double>(stats.packetsSent);
        state.counters["received"] = static_cast<double>(packets.load());
        state.counters["lost"] = static_cast<double>(stats.packetsSent - std::min(stats.packetsSent, packets.load()));
        state.counters["gaps"] = static_cast<double>(gaps.load());
        state.counters["rcvbufErrors"] = static_cast<double>(udpCounter("RcvbufErrors") - dropsBefore);
        state.counters["rcvbuf"] = granted;
        const uint64_t generatedBytes = (stats.packetsSent + stats.packetsLost) * PAYLOAD;
        state.counters["dropped"] = static_cast<double>(stats.packetsLost);
        state.counters["counted"] = static_cast<double>(eth->getLostPackets());
        state.counters["generatedBytes"] = static_cast<double>(generatedBytes);
        state.counters["deliveredBytes"] = static_cast<double>(bytes.load());
        state.counters["deliveredIsSentMinusLost"] = bytes.load() == generatedBytes - stats.packetsLost * PAYLOAD ? 1 : 0;
        state.counters["lossCounted"] = eth->getLostPackets() == stats.packetsLost ? 1 : 0;
    }
    eth.reset();
    camera.stop();
}

} // namespace

BENCHMARK(BM_EthStream)
    ->Args({125, 0})
    ->Args({125, 1})
    ->Args({0, 0})
    ->ArgNames({"MBps", "lossPercent"})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

BENCHMARK_MAIN();
