#pragma once

#include <cstdint>
#include <string>

#include "QuelnorDriver/camera/DvsEventCamera.h"
#include "QuelnorHal/interface/CameraDescription.h"

namespace quelnor {

// The Prophesee EVK4 evaluation kit (IMX636 sensor) on USB.
class PropheseeEVK4 : public DvsEventCamera {
public:
    static constexpr INTERFACE_TYPE interfaceType = INTERFACE_USB;
    static constexpr uint16_t vendorId = 0x04B4;
    static constexpr uint16_t productId = 0x00F5;

    explicit PropheseeEVK4(CameraDescription description);
    ~PropheseeEVK4() override;

    // "Prophesee"
    static std::string getManufacturer();
    // "EVK4"
    static std::string getProductName();
};

} // namespace quelnor
