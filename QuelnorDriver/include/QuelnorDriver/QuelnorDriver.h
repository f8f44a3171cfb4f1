#pragma once

// The whole public API of QuelnorDriver.
#include "QuelnorDriver/FileReader/ApsFileReader.h"
#include "QuelnorDriver/FileReader/Mp4FileReader.h"
#include "QuelnorDriver/sensor/Genx320RegisterMap.h"
#include "QuelnorDriver/sensor/Imx415RegisterMap.h"
#include "QuelnorDriver/sensor/Imx636RegisterMap.h"
#include "QuelnorDriver/tools/DataToVideoConverter.h"
