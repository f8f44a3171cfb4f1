#pragma once

// The whole public API of QuelnorHal.
#include "QuelnorHal/EventStream/BinarySearchTimestamp.h"
#include "QuelnorHal/EventStream/Decoder.h"
#include "QuelnorHal/EventStream/DecoderFactory.h"
#include "QuelnorHal/EventStream/DecoderStatus.h"
#include "QuelnorHal/EventStream/EVT3Decoder.h"
#include "QuelnorHal/EventStream/Evt3Raw.h"
#include "QuelnorHal/EventStream/RawEventStreamFormat.h"
