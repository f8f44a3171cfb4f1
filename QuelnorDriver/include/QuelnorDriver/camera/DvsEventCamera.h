#pragma once

#include <cstdint>
#include <string>

#include "QuelnorDriver/camera/DvsCameraPrivate.h"
#include "QuelnorHal/EventStream/RawEventStreamFormat.h"

namespace quelnor {

// An event camera reached over USB or Ethernet. init creates the device interface from the
// description, then, for the camera's sensor (a GenX320 on the Zarn320, an IMX636 on every other
// camera), the register controller, the EVT3 decoder, the sensor and the seven tools.
//
// A failed init (an exception from a device exchange, or no interface) leaves the camera closed;
// the next init starts from nothing, so no part stays bound to the interface of a failed attempt.
class DvsEventCamera : public DvsCameraPrivate {
public:
    static constexpr uint16_t GENX320_VENDOR_ID = 0x04B5;
    static constexpr uint16_t GENX320_PRODUCT_ID = 0x0003;
    static constexpr uint16_t IMX636_WIDTH = 1280;
    static constexpr uint16_t IMX636_HEIGHT = 720;
    static constexpr uint16_t GENX320_WIDTH = 320;
    static constexpr uint16_t GENX320_HEIGHT = 320;
    static constexpr const char* IMX636_STREAM_FORMAT = "EVT3;height=720;width=1280";
    static constexpr const char* GENX320_STREAM_FORMAT = "EVT3;height=320;width=320";
    static constexpr const char* IMX636_REGISTER_PREFIX = "PSEE/IMX636/";
    static constexpr const char* GENX320_REGISTER_PREFIX = "PSEE/GENX320/";

    explicit DvsEventCamera(CameraDescription description);
    ~DvsEventCamera() override;

    bool isConnected() const override;
    // Starts the sensor (failure: -1, nothing else started), switches an Ethernet camera's stream
    // on, then starts the loops.
    int start() override;
    uint16_t getWidth() override;
    uint16_t getHeight() override;
    // Ethernet cameras: writes the ".bin" file into the camera from startAddress. False for others.
    bool updateCameraFirmware(std::string path, uint32_t startAddress) override;

protected:
    uint16_t width = IMX636_WIDTH;
    uint16_t height = IMX636_HEIGHT;
    RawEventStreamFormat rawEventStreamFormat{IMX636_STREAM_FORMAT};
    bool isGenx320 = false;

private:
    static constexpr uint32_t SENSOR_ID_ADDRESS = 0x14;
    static constexpr uint32_t IMX636_SENSOR_ID = 0xA0401806;
    static constexpr uint32_t SENSOR_STATUS_ADDRESS = 0xF128;
    static constexpr uint32_t SENSOR_STATUS_BUSY_MASK = 0x3;

    int init() override;
    RawEventStreamFormat getRawEventStreamFormat() override;
    // Whether the sensor answers as expected: a GenX320 camera is only asked whether it is
    // connected, an IMX636 camera for its id and a clear status.
    bool checkSensor();
};

} // namespace quelnor
