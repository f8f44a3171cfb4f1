#pragma once

// The whole public API of QuelnorDriver.
#include "QuelnorDriver/tools/DataToVideoConverter.h"
