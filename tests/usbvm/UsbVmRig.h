#pragma once

// Shared set-up of the USB tests on a real kernel: the camera gadgets that usb-gadgets.sh started
// in the VM, reached through the SDK's discovery over the kernel's usbfs, and their control
// sockets. Outside the VM there are no gadgets and every test skips.

#include <gtest/gtest.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "GadgetControl.h"
#include "QuelnorHal/EventStream/DataTransfer.h"
#include "QuelnorHal/EventStream/EventStream.h"
#include "QuelnorHal/interface/CameraDescription.h"
#include "QuelnorHal/interface/UsbInterface.h"
#include "usbcam/CounterStream.h"

namespace usbvm {

using quelnor::test::usbvm::GadgetControl;

// Endpoint addresses as the camera model knows them (the host sees the ones the UDC picked).
constexpr uint8_t MODEL_DATA_ENDPOINT = 0x82;
constexpr uint8_t MODEL_DATA_ENDPOINT_2 = 0x83;
constexpr uint32_t RING_BUFFER_SIZE = 131072;
constexpr uint8_t RING_TRANSFERS = 20;
constexpr uint32_t RAW_EVENT_SIZE = 2;
// Everything runs under software emulation, and a busy machine may slow it much further.
constexpr auto STREAM_LIMIT = std::chrono::seconds(240);

struct VmCamera {
    std::string socket;
    std::map<std::string, std::string> info;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    bool fusion = false;
    std::string serial; // as the SDK should report it

    quelnor::CameraDescription description() const {
        quelnor::CameraDescription d;
        d.serialNumber = serial;
        d.vendorId = vendorId;
        d.productId = productId;
        return d;
    }
};

inline std::vector<VmCamera> findGadgets() {
    std::vector<VmCamera> out;
    for (const std::string& socket : GadgetControl::sockets()) {
        GadgetControl control(socket);
        VmCamera camera;
        camera.socket = socket;
        camera.info = control.fields("info");
        camera.vendorId = static_cast<uint16_t>(GadgetControl::number(camera.info.at("vid")));
        camera.productId = static_cast<uint16_t>(GadgetControl::number(camera.info.at("pid")));
        camera.fusion = camera.info.at("kind") == "fusion";
        if (camera.info.count("serial-text")) {
            camera.serial = camera.info["serial-text"];
        } else if (camera.info.count("serial-number")) {
            char text[17];
            std::snprintf(text, sizeof(text), "%08" PRIx64, GadgetControl::number(camera.info["serial-number"]));
            camera.serial = text;
        } else {
            camera.serial = camera.info["serial-string"];
        }
        out.push_back(camera);
    }
    return out;
}

class UsbVm : public testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!gadgetsFound) {
            gadgets = findGadgets();
            gadgetsFound = true;
        }
    }

    void SetUp() override {
        if (gadgets.empty()) {
            GTEST_SKIP() << "no camera gadgets (" << GadgetControl::SOCKETS_VARIABLE
                         << " unset): these tests run in the VM, see usb_gadget_vm";
        }
    }

    // The event camera answering a "QNP" text serial, the one answering a number, the fusion camera.
    static const VmCamera& textCamera() { return pick([](const VmCamera& c) { return c.info.count("serial-text") > 0; }); }
    static const VmCamera& numberCamera() { return pick([](const VmCamera& c) { return c.info.count("serial-number") > 0; }); }
    static const VmCamera& fusionCamera() { return pick([](const VmCamera& c) { return c.fusion; }); }

    // The interface of a camera, selected and claimed as a camera's init does.
    static std::shared_ptr<quelnor::UsbInterface> open(const VmCamera& camera) {
        auto usb = camera.fusion ? quelnor::UsbInterface::createUsbFusionInterface(camera.description())
                                 : quelnor::UsbInterface::createUsbInterface(camera.description());
        if (usb) {
            usb->initByCamera({camera.vendorId, camera.productId, quelnor::UsbInterface::INTERFACE_SUBCLASS});
        }
        return usb;
    }

    static std::unique_ptr<quelnor::EventStream> makeStream(const std::shared_ptr<quelnor::UsbInterface>& usb,
                                                            uint32_t bufferSize = RING_BUFFER_SIZE,
                                                            uint8_t transfers = RING_TRANSFERS,
                                                            quelnor::UsbDataTransferEndpoint endpoint =
                                                                quelnor::USB_DATA_ENDPOINT) {
        return std::make_unique<quelnor::EventStream>(
            quelnor::createDataTransferUniquePtr(usb, RAW_EVENT_SIZE, bufferSize, transfers, endpoint));
    }

    // Stops the gadget's stream on the endpoint and reads away what it had already written, so the
    // next stream on it starts clean. The host's stream must be stopped first.
    static void stopStreaming(GadgetControl& gadget, quelnor::UsbInterface& usb, uint8_t modelEndpoint) {
        char endpoint[8];
        std::snprintf(endpoint, sizeof(endpoint), "0x%02x", modelEndpoint);
        gadget.request(std::string("stream-stop ") + endpoint);
        const uint8_t hostEndpoint =
            modelEndpoint == MODEL_DATA_ENDPOINT ? usb.getEpCommAddress() : usb.getEpCommAddress2();
        const auto deadline = std::chrono::steady_clock::now() + STREAM_LIMIT;
        while (gadget.fields(std::string("stream-status ") + endpoint)["idle"] != "1" &&
               std::chrono::steady_clock::now() < deadline) {
            usb.flushEndpointBuffer(hostEndpoint);
        }
    }

    struct Collected {
        std::vector<uint8_t> bytes; // kept only when asked for
        std::vector<size_t> sizes;
        uint64_t total = 0;
    };

    // Takes buffers until `bytes` bytes came or the limit passed; every buffer goes through `checker`
    // when given.
    static void collect(quelnor::EventStream& stream, Collected& into, uint64_t bytes, bool keep,
                        quelnor::test::usbcam::CounterStreamChecker* checker = nullptr,
                        std::chrono::seconds limit = STREAM_LIMIT) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (into.total < bytes && std::chrono::steady_clock::now() < deadline) {
            if (stream.waitNextBuffer() != 1) {
                continue;
            }
            while (auto buffer = stream.getLatestBuffer()) {
                const std::vector<uint8_t>& b = **buffer;
                into.sizes.push_back(b.size());
                into.total += b.size();
                if (keep) {
                    into.bytes.insert(into.bytes.end(), b.begin(), b.end());
                }
                if (checker) {
                    checker->check(b.data(), b.size());
                }
            }
        }
    }

    static inline std::vector<VmCamera> gadgets;
    static inline bool gadgetsFound = false;

private:
    template <typename Predicate>
    static const VmCamera& pick(Predicate predicate) {
        for (const VmCamera& c : gadgets) {
            if (predicate(c)) {
                return c;
            }
        }
        throw std::runtime_error("the VM has no such camera gadget");
    }
};

} // namespace usbvm
