#pragma once

// The whole public API of QuelnorDriver.
#include "QuelnorDriver/FileReader/ApsFileReader.h"
#include "QuelnorDriver/FileReader/Mp4FileReader.h"
#include "QuelnorDriver/camera/CameraToolSet.h"
#include "QuelnorDriver/camera/CameraType.h"
#include "QuelnorDriver/camera/DvsCamera.h"
#include "QuelnorDriver/sensor/Genx320RegisterMap.h"
#include "QuelnorDriver/sensor/Genx320Sensor.h"
#include "QuelnorDriver/sensor/Imx415RegisterMap.h"
#include "QuelnorDriver/sensor/Imx415Sensor.h"
#include "QuelnorDriver/sensor/Imx636RegisterMap.h"
#include "QuelnorDriver/sensor/Imx6x6Sensor.h"
#include "QuelnorDriver/sensor/Sensor.h"
#include "QuelnorDriver/sensor/SensorSequences.h"
#include "QuelnorDriver/tools/DataToVideoConverter.h"
