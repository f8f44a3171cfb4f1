#include "QuelnorDriver/camera/PropheseeEVK5.h"

#include <utility>

namespace quelnor {

PropheseeEVK5::PropheseeEVK5(CameraDescription description_) : DvsEventCamera(std::move(description_)) {}

PropheseeEVK5::~PropheseeEVK5() = default;

std::string PropheseeEVK5::getManufacturer() { return "Prophesee"; }

std::string PropheseeEVK5::getProductName() { return "EVK5"; }

} // namespace quelnor
