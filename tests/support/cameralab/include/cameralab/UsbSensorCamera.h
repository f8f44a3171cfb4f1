#pragma once

// A simulated USB event camera on the umockdev bus whose control frames read and write a register
// file that answers like its sensor (a GenX320 for the Zarn320's ids, an IMX636 otherwise). Link
// `quelnor_cameralab`, include "cameralab/UsbSensorCamera.h"; run under the umockdev preload.
//
//   quelnor::test::usbcam::UmockdevUsbBus bus;
//   auto camera = quelnor::test::UsbSensorCamera::plug(bus, 0x04B5, 0x0001, "QNP0001");
//   ... open it through DvsCameraManager ...
//   EXPECT_EQ(camera.registers->log(), ...);      // every register access of the camera
//   camera.stream(encoder.bytes());                // EVT3 bytes on the data endpoint
//
// Thread safety: as the model and the register double (every member from any thread).

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/DeviceDouble.h"
#include "usbcam/UmockdevUsbBus.h"
#include "usbcam/UsbCameraModel.h"

namespace quelnor::test {

class UsbSensorCamera {
public:
    static constexpr uint16_t ZARN320_VENDOR_ID = 0x04B5;
    static constexpr uint16_t ZARN320_PRODUCT_ID = 0x0003;

    // An event camera of these ids and serial ("QNP..."), with the manufacturer and product texts
    // its descriptors report.
    static usbcam::UsbCameraConfig config(uint16_t vendorId, uint16_t productId, const std::string& serial,
                                          const std::string& manufacturer = "Quelnor",
                                          const std::string& product = "Tolvane");
    static UsbSensorCamera plug(usbcam::UmockdevUsbBus& bus, uint16_t vendorId, uint16_t productId,
                                const std::string& serial, const std::string& manufacturer = "Quelnor",
                                const std::string& product = "Tolvane");
    // A camera whose configuration the test changed.
    static UsbSensorCamera plug(usbcam::UmockdevUsbBus& bus, usbcam::UsbCameraConfig config);

    bool genx320() const { return isGenx320; }
    // EVT3 bytes on the data endpoint, ending a transfer (one buffer on the host).
    void stream(std::vector<uint8_t> bytes) const;
    // The next `count` register writes to address answer "command failed".
    void failWrites(uint32_t address, int count) const;

    std::shared_ptr<usbcam::UsbCameraModel> model;
    std::shared_ptr<DeviceDouble> registers;

private:
    struct WriteFaults {
        std::mutex lock;
        std::map<uint32_t, int> remaining;
    };

    void answerRegisterFrames();

    bool isGenx320 = false;
    std::shared_ptr<WriteFaults> writeFaults = std::make_shared<WriteFaults>();
};

} // namespace quelnor::test
