// USB stream throughput on a real kernel: a camera gadget (the camera model through FunctionFS on
// dummy_hcd) streams the counter stream as one long transfer, the way a camera streams; the SDK's
// ring of 20 asynchronous 128 KiB bulk transfers (UsbDataTransfer) hands it to an EventStream, and
// the benchmark thread, as the camera loop would, takes every buffer and checks that it continues
// the stream where the previous one ended (in order, nothing lost or doubled).
// Runs inside the throw-away VM: bench/usb/usb-ring-vm.sh [BUILD_DIR] [--super-speed]. Elsewhere
// there is no gadget and it reports an error.
//
// Reported per run (the time runs from the gadget's first byte to the last byte taken):
//   bytes_per_second  bytes taken from the EventStream (Google Benchmark's own unit, 2^20 = 1 MiB)
//   MB/s              the same in decimal MB (10^6 bytes)
//   buffers           buffers taken;  lost: 1 when a buffer did not continue the stream
// Label: the USB speed the gadget was enumerated at. Argument: MiB per run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "GadgetControl.h"
#include "QuelnorHal/EventStream/DataTransfer.h"
#include "QuelnorHal/EventStream/EventStream.h"
#include "QuelnorHal/interface/CameraDescription.h"
#include "QuelnorHal/interface/UsbInterface.h"
#include "usbcam/CounterStream.h"

namespace {

using namespace quelnor;
using quelnor::test::usbcam::CounterStreamChecker;
using quelnor::test::usbvm::GadgetControl;

constexpr uint32_t BUFFER_SIZE = 131072;
constexpr uint8_t TRANSFERS = 20;
constexpr uint32_t RAW_EVENT_SIZE = 2;
constexpr const char* MODEL_DATA_ENDPOINT = "0x82";
// The gadget is fed in pieces of this size, all of one transfer.
constexpr uint64_t FEED_PIECE = 4 * BUFFER_SIZE;
constexpr uint64_t MIB = 1024 * 1024;
// Counter stream positions stay below 2^34 (32-bit words): runs start over at 0 before that.
constexpr uint64_t COUNTER_LIMIT = 1ull << 34;
constexpr auto RUN_LIMIT = std::chrono::seconds(600);

// "high speed (480 Mbit/s)" and the like, from sysfs.
std::string usbSpeed(uint16_t vendorId, uint16_t productId) {
    namespace fs = std::filesystem;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/sys/bus/usb/devices", error)) {
        auto read = [&](const char* name) {
            std::ifstream in(entry.path() / name);
            std::string value;
            in >> value;
            return value;
        };
        if (read("idVendor").empty() || std::stoul(read("idVendor"), nullptr, 16) != vendorId ||
            std::stoul(read("idProduct"), nullptr, 16) != productId) {
            continue;
        }
        const std::string mbits = read("speed");
        const char* name = mbits == "480" ? "high speed" : mbits == "5000" ? "SuperSpeed" : mbits == "12" ? "full speed" : "USB";
        return std::string(name) + " (" + mbits + " Mbit/s), dummy_hcd under software emulation";
    }
    return "speed unknown";
}

void BM_UsbRingIntoEventStream(benchmark::State& state) {
    std::unique_ptr<GadgetControl> gadget;
    CameraDescription description;
    for (const std::string& socket : GadgetControl::sockets()) {
        auto control = std::make_unique<GadgetControl>(socket);
        auto info = control->fields("info");
        if (info.count("serial-text")) {
            description.serialNumber = info["serial-text"];
            description.vendorId = static_cast<uint16_t>(GadgetControl::number(info["vid"]));
            description.productId = static_cast<uint16_t>(GadgetControl::number(info["pid"]));
            gadget = std::move(control);
            break;
        }
    }
    if (!gadget) {
        state.SkipWithError("no camera gadget: run bench/usb/usb-ring-vm.sh");
        return;
    }
    auto usb = UsbInterface::createUsbInterface(description);
    if (!usb) {
        state.SkipWithError("the camera gadget was not found over USB");
        return;
    }
    usb->initByCamera({description.vendorId, description.productId, UsbInterface::INTERFACE_SUBCLASS});
    EventStream stream(createDataTransferUniquePtr(usb, RAW_EVENT_SIZE, BUFFER_SIZE, TRANSFERS, USB_DATA_ENDPOINT));
    state.SetLabel(usbSpeed(description.vendorId, description.productId));

    const uint64_t bytes = static_cast<uint64_t>(state.range(0)) * MIB;
    uint64_t start = 0;
    uint64_t taken = 0;
    uint64_t buffers = 0;
    bool lost = false;
    for (auto _ : state) {
        if (start + bytes >= COUNTER_LIMIT) {
            start = 0;
        }
        stream.start(); // drains the endpoint first: not timed
        CounterStreamChecker checker(start);
        uint64_t got = 0;
        const auto begin = std::chrono::steady_clock::now();
        gadget->request("stream-counter " + std::string(MODEL_DATA_ENDPOINT) + " " + std::to_string(start) + " " +
                        std::to_string(bytes) + " " + std::to_string(FEED_PIECE) + " open");
        const auto deadline = begin + RUN_LIMIT;
        while (got < bytes && std::chrono::steady_clock::now() < deadline) {
            if (stream.waitNextBuffer() != 1) {
                continue;
            }
            while (auto buffer = stream.getLatestBuffer()) {
                checker.check((*buffer)->data(), (*buffer)->size());
                got += (*buffer)->size();
                ++buffers;
            }
        }
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - begin).count());
        stream.stop();
        gadget->request("stream-stop " + std::string(MODEL_DATA_ENDPOINT));
        taken += got;
        start += bytes;
        if (!checker.ok() || got != bytes) {
            lost = true;
            state.SkipWithError((checker.ok() ? "the stream stopped short" : checker.error()).c_str());
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(taken));
    state.counters["MB/s"] = benchmark::Counter(static_cast<double>(taken) / 1e6, benchmark::Counter::kIsRate);
    state.counters["buffers"] = static_cast<double>(buffers);
    state.counters["lost"] = lost ? 1 : 0;
}

BENCHMARK(BM_UsbRingIntoEventStream)->Arg(256)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

BENCHMARK_MAIN();
