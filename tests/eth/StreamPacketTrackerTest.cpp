// Packet ids of an Ethernet stream: gaps, duplicates, late packets and the 24-bit wrap.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "interface/StreamPacketTracker.h"

using quelnor::StreamPacketTracker;
using Verdict = StreamPacketTracker::Verdict;

namespace {

// "T" taken in order, "T+n" taken after n missing, "G" taken after ids started anew, "D" duplicate,
// "L" late.
std::string verdicts(const std::vector<uint32_t>& ids) {
    StreamPacketTracker tracker;
    std::string out;
    for (uint32_t id : ids) {
        const auto r = tracker.onPacket(id);
        if (!out.empty()) {
            out += ' ';
        }
        switch (r.verdict) {
        case Verdict::Take:
            out += r.missed > 0 ? "T+" + std::to_string(r.missed) : (r.gapBefore ? "G" : "T");
            break;
        case Verdict::Duplicate:
            out += "D";
            break;
        case Verdict::Late:
            out += "L";
            break;
        }
    }
    return out;
}

} // namespace

TEST(StreamPacketTracker, TellsGapsDuplicatesAndLatePacketsApart) {
    struct Case {
        const char* name;
        std::vector<uint32_t> ids;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"in order", {1, 2, 3, 4}, "T T T T"},
        {"the first packet starts the stream anywhere", {500, 501}, "T T"},
        {"one lost", {1, 2, 4, 5}, "T T T+1 T"},
        {"a burst of 50 lost", {1, 52, 53}, "T T+50 T"},
        {"adjacent packets swapped: the late one is refused, not a gap", {1, 2, 4, 3, 5}, "T T T+1 L T"},
        {"a duplicate right away and later", {1, 2, 2, 3, 2, 4}, "T T D T D T"},
        {"a late packet arriving twice", {1, 3, 2, 2, 4}, "T T+1 L L T"},
        {"wrap without id 0", {0xFFFFFE, 0xFFFFFF, 1, 2}, "T T T T"},
        {"wrap with id 0", {0xFFFFFF, 0, 1}, "T T T"},
        {"a gap over the wrap does not count id 0", {0xFFFFFD, 2}, "T T+3"},
        {"a gap ending at id 0", {0xFFFFFD, 0}, "T T+2"},
        {"late over the wrap", {0xFFFFFF, 2, 1}, "T T+1 L"},
        {"duplicate over the wrap", {0xFFFFFF, 1, 0xFFFFFF}, "T T D"},
        {"late within the reorder window", {1, 2049, 2}, "T T+2047 L"},
        {"far behind: the camera started its ids anew", {10000, 10001, 1, 2}, "T T G T"},
        {"a gap larger than the ring forgets what came before", {1, 6000, 2}, "T T+5998 G"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(verdicts(c.ids), c.expected) << c.name;
    }
}

TEST(StreamPacketTracker, ResetStartsAnewWithoutAGap) {
    StreamPacketTracker tracker;
    tracker.onPacket(100);
    tracker.onPacket(101);
    tracker.reset();
    const auto r = tracker.onPacket(1);
    EXPECT_EQ(r.verdict, Verdict::Take);
    EXPECT_FALSE(r.gapBefore);
    EXPECT_EQ(tracker.onPacket(101).verdict, Verdict::Take) << "101 was forgotten";
}

TEST(StreamPacketTracker, IdArithmetic) {
    EXPECT_EQ(StreamPacketTracker::forwardDist(2, 0xFFFFFE), 4u);
    EXPECT_TRUE(StreamPacketTracker::isNewer(0, 0xFFFFFF));
    EXPECT_FALSE(StreamPacketTracker::isNewer(5, 5));
    EXPECT_FALSE(StreamPacketTracker::isNewer(0x800000, 0));
    EXPECT_TRUE(StreamPacketTracker::isNewer(0x7FFFFF, 0));
}
