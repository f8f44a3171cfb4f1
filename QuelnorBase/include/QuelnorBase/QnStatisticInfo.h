#pragma once

#include <cstdint>

namespace quelnor {

// Once-a-second stream statistics: raw bytes decoded and events produced since the last report.
struct QnStatisticInfo {
    uint64_t dataBandwidth;
    uint64_t eventCount;

    QnStatisticInfo() : dataBandwidth(0), eventCount(0) {}
    QnStatisticInfo(uint64_t dataBandwidth_, uint64_t eventCount_)
        : dataBandwidth(dataBandwidth_), eventCount(eventCount_) {}
    QnStatisticInfo(const QnStatisticInfo&) = default;
    QnStatisticInfo(QnStatisticInfo&&) = default;
    QnStatisticInfo& operator=(const QnStatisticInfo& other) {
        dataBandwidth = other.dataBandwidth;
        eventCount = other.eventCount;
        return *this;
    }
    QnStatisticInfo& operator=(QnStatisticInfo&& other) {
        dataBandwidth = other.dataBandwidth;
        eventCount = other.eventCount;
        return *this;
    }
};

} // namespace quelnor
