#include "ethsim/DemoScene.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <utility>

#include "QuelnorBase/Event2D.h"
#include "QuelnorBase/EventTriggerIn.h"
#include "evt3/Evt3TestEncoder.h"

namespace quelnor::test {

namespace {

constexpr uint64_t STEP_US = 4096;                                  // one EVT3 high-time step
constexpr uint64_t BAR_PERIOD_US = DEMO_SCENE_DURATION_US / 8;      // whole turns within the loop
constexpr uint64_t RING_X_PERIOD_US = DEMO_SCENE_DURATION_US / 4;   // whole bounces within the loop
constexpr uint64_t RING_Y_PERIOD_US = DEMO_SCENE_DURATION_US / 2;
constexpr uint64_t TRIGGER_PERIOD_US = uint64_t(1) << 20;
constexpr double PI = 3.14159265358979323846;
// Thick outlines, so the scene makes enough data for the viewer's blocks to arrive more often
// than it redraws (a thin outline leaves most frames empty).
constexpr int BAR_HALF_WIDTH = 3;
constexpr int RING_THICKNESS = 6;
constexpr double SAMPLES_PER_PIXEL = 2.0; // no holes between the sampled points
// Scattered background events as a real sensor has; they also keep the data rate up (outlines pack
// into few EVT3 words), so the viewer gets a block for about every frame it draws.
constexpr int NOISE_EVENTS_PER_STEP = 2000;

using Pixel = std::pair<int, int>; // (y, x): sorted by row for vector groups

std::set<Pixel> barPixels(double cx, double cy, double length, double angle) {
    std::set<Pixel> pixels;
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    const int samples = static_cast<int>(length * SAMPLES_PER_PIXEL);
    for (int o = -BAR_HALF_WIDTH; o <= BAR_HALF_WIDTH; ++o) {
        for (int i = 0; i <= samples; ++i) {
            const double r = i / SAMPLES_PER_PIXEL;
            pixels.insert({static_cast<int>(std::lround(cy + r * s + o * c)),
                           static_cast<int>(std::lround(cx + r * c - o * s))});
        }
    }
    return pixels;
}

std::set<Pixel> ringPixels(double cx, double cy, double radius) {
    std::set<Pixel> pixels;
    for (int k = 0; k < RING_THICKNESS; ++k) {
        const double rk = radius - k;
        const int points = static_cast<int>(2 * PI * rk * SAMPLES_PER_PIXEL);
        for (int i = 0; i < points; ++i) {
            const double a = 2 * PI * i / points;
            pixels.insert({static_cast<int>(std::lround(cy + rk * std::sin(a))),
                           static_cast<int>(std::lround(cx + rk * std::cos(a)))});
        }
    }
    return pixels;
}

// 0 .. 1 .. 0 over one period.
double triangle(uint64_t t, uint64_t period) {
    const double phase = static_cast<double>(t % period) / static_cast<double>(period);
    return phase < 0.5 ? 2 * phase : 2 - 2 * phase;
}

std::set<Pixel> scene(uint64_t t, uint16_t width, uint16_t height, int variant) {
    const double direction = variant % 2 == 0 ? 1.0 : -1.0;
    const double angle = direction * 2 * PI * static_cast<double>(t % BAR_PERIOD_US) / BAR_PERIOD_US;
    const double length = std::min(width, height) * 0.4;
    std::set<Pixel> pixels = barPixels(width / 2.0, height / 2.0, length, angle);
    const double radius = std::min(width, height) * 0.06;
    const uint64_t shift = static_cast<uint64_t>(variant) * (RING_X_PERIOD_US / 3);
    const double x = radius + triangle(t + shift, RING_X_PERIOD_US) * (width - 2 * radius - 1);
    const double y = radius + triangle(t + shift, RING_Y_PERIOD_US) * (height - 2 * radius - 1);
    const std::set<Pixel> ring = ringPixels(x, y, radius);
    pixels.insert(ring.begin(), ring.end());
    return pixels;
}

} // namespace

std::vector<uint16_t> makeDemoScene(uint16_t width, uint16_t height, int variant) {
    Evt3TestEncoder encoder;
    std::set<Pixel> previous;
    std::mt19937 random(static_cast<uint32_t>(variant));
    std::uniform_int_distribution<int> row(0, height - 1);
    std::uniform_int_distribution<int> column(0, width - 1);
    std::uniform_int_distribution<int> polarity(0, 1);
    for (uint64_t t = 0; t < DEMO_SCENE_DURATION_US; t += STEP_US) {
        const std::set<Pixel> current = scene(t, width, height, variant);
        // What appears turns brighter, what disappears darker; the outlines win over noise.
        struct Change {
            Pixel pixel;
            int rank; // 0 outline, 1 noise
            uint8_t polarity;
        };
        std::vector<Change> changes;
        changes.reserve(NOISE_EVENTS_PER_STEP + current.size() + previous.size());
        for (const Pixel& p : current) {
            if (previous.count(p) == 0) {
                changes.push_back({p, 0, 1});
            }
        }
        for (const Pixel& p : previous) {
            if (current.count(p) == 0) {
                changes.push_back({p, 0, 0});
            }
        }
        for (int n = 0; n < NOISE_EVENTS_PER_STEP; ++n) {
            const int y = row(random);
            const int x = column(random);
            changes.push_back({{y, x}, 1, static_cast<uint8_t>(polarity(random))});
        }
        std::sort(changes.begin(), changes.end(), [](const Change& a, const Change& b) {
            return a.pixel != b.pixel ? a.pixel < b.pixel : a.rank < b.rank;
        });
        std::vector<Event2D> events;
        events.reserve(changes.size());
        for (size_t k = 0; k < changes.size(); ++k) {
            const Pixel& p = changes[k].pixel;
            const bool repeated = k > 0 && changes[k - 1].pixel == p;
            if (!repeated && p.first >= 0 && p.first < height && p.second >= 0 && p.second < width) {
                events.emplace_back(static_cast<uint16_t>(p.second), static_cast<uint16_t>(p.first),
                                    changes[k].polarity, t);
            }
        }
        // Vector groups: by row, then polarity, then column.
        std::sort(events.begin(), events.end(), [](const Event2D& a, const Event2D& b) {
            return a.y != b.y ? a.y < b.y : a.polarity != b.polarity ? a.polarity < b.polarity : a.x < b.x;
        });
        std::vector<EventTriggerIn> triggers;
        if (t % TRIGGER_PERIOD_US == 0) {
            triggers.emplace_back(0, 1, t);
        }
        encoder.addStream(events, triggers, true);
        previous = current;
    }
    return encoder.words();
}

} // namespace quelnor::test
