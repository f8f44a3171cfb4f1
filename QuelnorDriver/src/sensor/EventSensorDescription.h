#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "QuelnorHal/register/RegisterOperation.h"

namespace quelnor::detail {

// One field write of a set-up step.
struct SensorFieldValue {
    const char* field = nullptr;
    uint32_t value = 0;
};

// What one event sensor does differently from the others in EventSensor: a constant beside its class.
// Lists are filled from the front; unused places stay null.
struct EventSensorDescription {
    static constexpr size_t MAX_INIT_SEQUENCES = 3;
    static constexpr size_t MAX_MIRROR_FIELDS = 2;
    static constexpr size_t MAX_TIME_BASE_FIELDS = 2;

    // The class name, as it stands in the log lines.
    const char* name;
    // On a MIPI interface the sensor streams through V4L2 and no register is touched.
    bool mipiThroughV4l2;
    // Replayed by init, in order, after stopSequence.
    std::array<const std::vector<RegisterOperation>*, MAX_INIT_SEQUENCES> initSequences;
    // Replayed first by init; also by stop when stopReplaysStopSequence.
    const std::vector<RegisterOperation>* stopSequence;
    bool stopReplaysStopSequence;
    // Replayed by start once the stream runs; null: start replays nothing.
    const std::vector<RegisterOperation>* startSequence;
    // iph_mirr_ctrl fields switched by controlIphMirror, each followed by a pause.
    std::array<const char*, MAX_MIRROR_FIELDS> mirrorFields;
    // lifo_ctrl has lifo_out_en and lifo_cnt_en beside lifo_en.
    bool lifoOutputAndCounter;
    // ro/time_base_ctrl fields written with fixed values after the mode fields.
    std::array<SensorFieldValue, MAX_TIME_BASE_FIELDS> timeBaseFields;
};

} // namespace quelnor::detail
