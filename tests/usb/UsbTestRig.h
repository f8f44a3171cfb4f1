#pragma once

// Shared set-up of the USB tests: simulated cameras on an in-process umockdev bus, opened through
// the SDK's own discovery.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "QuelnorHal/interface/CameraDescription.h"
#include "QuelnorHal/interface/UsbInterface.h"
#include "usbcam/UmockdevUsbBus.h"

namespace usbtest {

using quelnor::test::usbcam::UsbCameraConfig;

// Product ids of the supported USB cameras.
constexpr uint16_t QUELNOR_VID = 0x04B5;
constexpr uint16_t TOLVANE_PID = 0x0001;
constexpr uint16_t ZARN320_PID = 0x0003;
constexpr uint16_t PROPHESEE_VID = 0x04B4;
constexpr uint16_t EVK4_PID = 0x00F5;
constexpr uint16_t ONDRIK_VID = 0x2207;
constexpr uint16_t ONDRIK_PID = 0x0006;

inline quelnor::CameraDescription describe(const std::string& serial, uint16_t vendorId = QUELNOR_VID,
                                           uint16_t productId = TOLVANE_PID) {
    quelnor::CameraDescription d;
    d.serialNumber = serial;
    d.vendorId = vendorId;
    d.productId = productId;
    return d;
}

// The interface of an event camera, selected and claimed as a camera's init does.
inline std::shared_ptr<quelnor::UsbInterface> openEventCamera(const std::string& serial,
                                                              uint16_t vendorId = QUELNOR_VID,
                                                              uint16_t productId = TOLVANE_PID) {
    auto usb = quelnor::UsbInterface::createUsbInterface(describe(serial, vendorId, productId));
    if (usb) {
        usb->initByCamera({vendorId, productId, quelnor::UsbInterface::INTERFACE_SUBCLASS});
    }
    return usb;
}

// Polls until the condition holds or the (generous) limit passes.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace usbtest
