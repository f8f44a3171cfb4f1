#pragma once

// The whole public API of QuelnorDriver.
#include "QuelnorDriver/FileReader/DvsFileReader.h"
#include "QuelnorDriver/FileReader/RawFileReader.h"
#include "QuelnorDriver/FileRecorder/DvsFileRecorder.h"
#include "QuelnorDriver/sensor/Genx320RegisterMap.h"
#include "QuelnorDriver/sensor/Imx415RegisterMap.h"
#include "QuelnorDriver/sensor/Imx636RegisterMap.h"
#include "QuelnorDriver/tools/DataToVideoConverter.h"
