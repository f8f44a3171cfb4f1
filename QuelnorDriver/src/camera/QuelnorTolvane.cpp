#include "QuelnorDriver/camera/QuelnorTolvane.h"

#include <utility>

namespace quelnor {

QuelnorTolvane::QuelnorTolvane(CameraDescription description_) : DvsEventCamera(std::move(description_)) {}

QuelnorTolvane::~QuelnorTolvane() = default;

std::string QuelnorTolvane::getManufacturer() { return "Quelnor"; }

std::string QuelnorTolvane::getProductName() { return "Tolvane"; }

} // namespace quelnor
