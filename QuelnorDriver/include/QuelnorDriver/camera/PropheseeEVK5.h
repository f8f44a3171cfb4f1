#pragma once

#include <cstdint>
#include <string>

#include "QuelnorDriver/camera/DvsEventCamera.h"
#include "QuelnorHal/interface/CameraDescription.h"

namespace quelnor {

// The Prophesee EVK5 evaluation kit (IMX636 sensor) on USB.
class PropheseeEVK5 : public DvsEventCamera {
public:
    static constexpr INTERFACE_TYPE interfaceType = INTERFACE_USB;
    static constexpr uint16_t vendorId = 0x04B4;
    static constexpr uint16_t productId = 0x00C4;

    explicit PropheseeEVK5(CameraDescription description);
    ~PropheseeEVK5() override;

    // "Prophesee"
    static std::string getManufacturer();
    // "EVK5"
    static std::string getProductName();
};

} // namespace quelnor
