#pragma once

// A 60 Hz trigger input beside a steady event stream, and the check that every exposure-end mark came
// once, in time order. A mark lies 25720 us after its edge, more than one 60 Hz period, so two are
// pending at a time. Include "fusionlab/SixtyHzTriggers.h".

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "QuelnorBase/Event2D.h"
#include "QuelnorBase/EventTriggerIn.h"
#include "evt3/Evt3TestEncoder.h"

namespace quelnor::test {

struct SixtyHzTriggers {
    static constexpr uint64_t PERIOD_US = 16667;
    static constexpr size_t EDGES = 11; // the first is only counted
    static constexpr size_t MARKS = EDGES - 1;
    static constexpr uint64_t FIRST_EDGE = 100000;
    static constexpr uint64_t EVENT_STEP_US = 1000;
    static constexpr uint64_t MARK_DELAY_US = 25720;
    static constexpr uint64_t END = FIRST_EDGE + PERIOD_US * EDGES + 30000;
    static constexpr size_t EVENTS = (END - FIRST_EDGE) / EVENT_STEP_US;

    // An event every EVENT_STEP_US from FIRST_EDGE to END, the rising edges between them.
    static void encode(Evt3TestEncoder& encoder) {
        size_t edge = 0;
        for (uint64_t t = FIRST_EDGE; t < END; t += EVENT_STEP_US) {
            for (; edge < EDGES && FIRST_EDGE + PERIOD_US * edge <= t; ++edge) {
                encoder.addTrigger(EventTriggerIn(0, 1, FIRST_EDGE + PERIOD_US * edge));
            }
            encoder.setTime(t).addEvent(Event2D(1, 1, 1, t));
        }
    }

    // Each mark once, in order, at the first event time at or after its due time.
    static void expectMarks(const std::vector<EventTriggerIn>& syncs) {
        ASSERT_EQ(syncs.size(), MARKS);
        for (size_t k = 1; k < EDGES; ++k) {
            const uint64_t mark = FIRST_EDGE + PERIOD_US * k + MARK_DELAY_US;
            EXPECT_EQ(syncs[k - 1].polarity, 1);
            EXPECT_GE(syncs[k - 1].timestamp, mark) << "mark " << k;
            EXPECT_LT(syncs[k - 1].timestamp, mark + EVENT_STEP_US) << "mark " << k;
        }
    }
};

} // namespace quelnor::test
