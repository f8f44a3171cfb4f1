#include "QuelnorDriver/camera/PropheseeEVK4.h"

#include <utility>

namespace quelnor {

PropheseeEVK4::PropheseeEVK4(CameraDescription description_) : DvsEventCamera(std::move(description_)) {}

PropheseeEVK4::~PropheseeEVK4() = default;

std::string PropheseeEVK4::getManufacturer() { return "Prophesee"; }

std::string PropheseeEVK4::getProductName() { return "EVK4"; }

} // namespace quelnor
