#pragma once

#include <memory>

#include "QuelnorHal/camera/tools/biases/BiasesTool.h"

namespace quelnor {

// The IMX636 pixel biases (see BiasesTool).
class Imx636Biases : public BiasesTool {
public:
    explicit Imx636Biases(std::shared_ptr<RegisterController> controller);
};

} // namespace quelnor
