#pragma once

#include <cstdint>
#include <string>

#include "QuelnorDriver/camera/DvsEventCamera.h"
#include "QuelnorHal/interface/CameraDescription.h"

namespace quelnor {

// The Tolvane camera (IMX636 sensor), on USB or Ethernet: every Ethernet camera found becomes one.
class QuelnorTolvane : public DvsEventCamera {
public:
    static constexpr INTERFACE_TYPE interfaceType = INTERFACE_USB;
    static constexpr uint16_t vendorId = 0x04B5;
    static constexpr uint16_t productId = 0x0001;

    explicit QuelnorTolvane(CameraDescription description);
    ~QuelnorTolvane() override;

    // "Quelnor"
    static std::string getManufacturer();
    // "Tolvane"
    static std::string getProductName();
};

} // namespace quelnor
