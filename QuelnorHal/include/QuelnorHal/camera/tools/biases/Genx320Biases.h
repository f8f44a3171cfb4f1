#pragma once

#include <memory>

#include "QuelnorHal/camera/tools/biases/BiasesTool.h"

namespace quelnor {

// The GenX320 pixel biases (see BiasesTool).
class Genx320Biases : public BiasesTool {
public:
    explicit Genx320Biases(std::shared_ptr<RegisterController> controller);
};

} // namespace quelnor
