#pragma once

// The whole public API of QuelnorBase.
#include "QuelnorBase/ApsFrame.h"
#include "QuelnorBase/CalibratorParameters.h"
#include "QuelnorBase/DvsFileInfo.h"
#include "QuelnorBase/Event2D.h"
#include "QuelnorBase/EventTriggerIn.h"
#include "QuelnorBase/LogLevelType.h"
#include "QuelnorBase/Logger.h"
#include "QuelnorBase/ObjectPool.h"
#include "QuelnorBase/QnObjectPool.h"
#include "QuelnorBase/QnStatisticInfo.h"
#include "QuelnorBase/Utils/FuncUtils.h"
#include "QuelnorBase/Utils/JsonUtils.h"
