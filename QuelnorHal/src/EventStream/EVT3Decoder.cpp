#include "QuelnorHal/EventStream/EVT3Decoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// The wide windows are built for x86-64 with AVX-512 enabled per function.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUELNOR_WIDE_WINDOWS 1
#include <immintrin.h>
#else
#define QUELNOR_WIDE_WINDOWS 0
#endif

#include "EventStream/Evt3EventWriter.h"
#include "QuelnorBase/Logger.h"

namespace quelnor {

namespace {

using Evt3Raw::RawEvent;

constexpr uint64_t TIME_PERIOD = uint64_t(1) << 24;
constexpr uint64_t TIME_HIGH_MASK = uint64_t(0xFFF) << 12;
constexpr uint64_t TIME_LOW_MASK = 0xFFF;
// Largest forward step of a TIME_HIGH word once past the first period: the word loop follows a
// live stream, the scans may cross gaps in a file.
constexpr uint64_t DECODE_TIME_JUMP_LIMIT = 1000000;
constexpr uint64_t SCAN_TIME_JUMP_LIMIT = 10000000;
constexpr uint16_t OTHERS_GROUP_SUBTYPE_A = 20;
constexpr uint16_t OTHERS_GROUP_SUBTYPE_B = 22;
constexpr int VECTOR_GROUP_WORDS = 3;
constexpr int OTHERS_GROUP_WORDS = 4;
// The first words of the two OTHERS groups.
constexpr uint16_t GROUP_START_A = (Evt3Raw::OTHERS << 12) | OTHERS_GROUP_SUBTYPE_A;
constexpr uint16_t GROUP_START_B = (Evt3Raw::OTHERS << 12) | OTHERS_GROUP_SUBTYPE_B;
constexpr int VECTOR_EVENTS = 32;
// The fast path looks at this many words at once, one bit of a 64-bit mask per word.
constexpr ptrdiff_t WINDOW_WORDS = 64;

// The word loop writes column, row and polarity of an event as one 64-bit value.
static_assert(sizeof(Event2D) == 16 && offsetof(Event2D, x) == 0 && offsetof(Event2D, y) == 2 &&
                  offsetof(Event2D, polarity) == 4 && offsetof(Event2D, timestamp) == 8,
              "Event2D layout the word loop writes");

// OTHERS words change nothing but the position: a lone one is one word, one of the two group
// subtypes starts a group of four whose other words are not read. The fast path takes both when the
// group lies wholly in the window. Group starts closer together than a group's length (a start
// inside another group) leave those groups to the switch, which reads them in order.
struct OthersInWindow {
    uint64_t taken = 0;  // lone OTHERS words and whole groups
    uint64_t inner = 0;  // the three words after each group start taken: not read as words of their own
};

// `others`: the OTHERS words of the window at `p` (few in a camera's stream).
inline OthersInWindow othersInWindow(const RawEvent* p, uint64_t others) {
    uint64_t groupStarts = 0;
    for (uint64_t rest = others; rest != 0; rest &= rest - 1) {
        const unsigned i = static_cast<unsigned>(std::countr_zero(rest));
        const uint16_t word = p[i].value();
        groupStarts |= uint64_t(word == GROUP_START_A || word == GROUP_START_B) << i;
    }
    // Starts at 0 to WINDOW_WORDS - OTHERS_GROUP_WORDS: the group's last word is in the window.
    constexpr uint64_t FITTING = (uint64_t(1) << (WINDOW_WORDS - OTHERS_GROUP_WORDS + 1)) - 1;
    uint64_t starts = groupStarts & FITTING;
    uint64_t inner = (starts << 1) | (starts << 2) | (starts << 3);
    if ((starts & inner) != 0) [[unlikely]] {
        starts = 0;
        inner = 0;
    }
    return {(others & ~groupStarts) | starts | inner, inner};
}

// Which words of a window are of the kinds the fast path takes; bit i stands for word i.
struct WindowKinds {
    uint64_t rows = 0;     // ADDR_Y
    uint64_t columns = 0;  // ADDR_X
    uint64_t lows = 0;     // TIME_LOW words while `lowsTaken`
    uint64_t taken = 0;    // all of the above, the words equal to `repeatWord` and OTHERS (othersInWindow)
};

// `taken` with the OTHERS words othersInWindow leaves to the switch taken out and the words inside
// taken groups in; returns the latter, which the caller takes out of every other kind.
inline uint64_t takeOthers(const RawEvent* p, uint64_t others, uint64_t& taken) {
    const OthersInWindow skipped = othersInWindow(p, others);
    taken = (taken & ~others & ~skipped.inner) | skipped.taken;
    return skipped.inner;
}

// `lowsTaken`: TIME_LOW words are of a kind the fast path takes (not while a custom trigger may be
// due, see the word loop).
inline WindowKinds classifyWindow(const RawEvent* p, bool lowsTaken, uint16_t repeatWord) {
    WindowKinds k;
    uint64_t others = 0;
#if defined(__SSE2__)
    // The type of each of sixteen words as a byte, so that a kind is one compare of sixteen lanes.
    const __m128i rowType = _mm_set1_epi8(static_cast<char>(Evt3Raw::ADDR_Y));
    const __m128i columnType = _mm_set1_epi8(static_cast<char>(Evt3Raw::ADDR_X));
    // 0xFF: no word's type.
    const __m128i lowType = _mm_set1_epi8(static_cast<char>(lowsTaken ? unsigned(Evt3Raw::TIME_LOW) : 0xFFu));
    const __m128i othersType = _mm_set1_epi8(static_cast<char>(Evt3Raw::OTHERS));
    const __m128i repeat = _mm_set1_epi16(static_cast<int16_t>(repeatWord));
    auto bits = [](__m128i lanes) { return uint64_t(static_cast<uint16_t>(_mm_movemask_epi8(lanes))); };
    // OTHERS words are rare: their mask is made only for a window that has one.
    __m128i othersSeen = _mm_setzero_si128();
#pragma GCC unroll 4
    for (unsigned j = 0; j < WINDOW_WORDS; j += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + j));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + j + 8));
        const __m128i types = _mm_packus_epi16(_mm_srli_epi16(a, 12), _mm_srli_epi16(b, 12));
        const __m128i rows = _mm_cmpeq_epi8(types, rowType);
        const __m128i columns = _mm_cmpeq_epi8(types, columnType);
        const __m128i lows = _mm_cmpeq_epi8(types, lowType);
        const __m128i othersHere = _mm_cmpeq_epi8(types, othersType);
        const __m128i repeats = _mm_packs_epi16(_mm_cmpeq_epi16(a, repeat), _mm_cmpeq_epi16(b, repeat));
        const __m128i taken = _mm_or_si128(_mm_or_si128(_mm_or_si128(rows, columns), _mm_or_si128(lows, repeats)),
                                           othersHere);
        k.rows |= bits(rows) << j;
        k.columns |= bits(columns) << j;
        k.lows |= bits(lows) << j;
        k.taken |= bits(taken) << j;
        othersSeen = _mm_or_si128(othersSeen, othersHere);
    }
    if (_mm_movemask_epi8(othersSeen) != 0) {
#pragma GCC unroll 4
        for (unsigned j = 0; j < WINDOW_WORDS; j += 16) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + j));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + j + 8));
            const __m128i types = _mm_packus_epi16(_mm_srli_epi16(a, 12), _mm_srli_epi16(b, 12));
            others |= bits(_mm_cmpeq_epi8(types, othersType)) << j;
        }
    }
#else
    for (unsigned i = 0; i < WINDOW_WORDS; ++i) {
        const uint16_t word = p[i].value();
        const uint64_t bit = uint64_t(1) << i;
        const unsigned type = word >> 12;
        const bool isLow = lowsTaken && type == Evt3Raw::TIME_LOW;
        k.rows |= type == Evt3Raw::ADDR_Y ? bit : 0;
        k.columns |= type == Evt3Raw::ADDR_X ? bit : 0;
        k.lows |= isLow ? bit : 0;
        others |= type == Evt3Raw::OTHERS ? bit : 0;
        k.taken |= (type == Evt3Raw::ADDR_Y || type == Evt3Raw::ADDR_X || isLow || type == Evt3Raw::OTHERS ||
                    word == repeatWord)
                       ? bit
                       : 0;
    }
#endif
    if (others != 0) {
        const uint64_t inner = takeOthers(p, others, k.taken);
        k.rows &= ~inner;
        k.columns &= ~inner;
        k.lows &= ~inner;
    }
    return k;
}

// Which words of a window counting takes, and which of them make or allow an event.
struct CountKinds {
    uint64_t rows = 0;         // ADDR_Y
    uint64_t goodRows = 0;     // ADDR_Y below the height
    uint64_t goodColumns = 0;  // ADDR_X below the width
    uint64_t lows = 0;         // TIME_LOW words of type `lowType`
    uint64_t taken = 0;        // ADDR_Y, ADDR_X, those TIME_LOW, the words equal to `repeatWord` and OTHERS
};

// Like classifyWindow, with the rows and columns inside the sensor. `lowType` is the TIME_LOW type
// in the top four bits, or a value no type matches.
inline CountKinds classifyCountWindow(const RawEvent* p, uint16_t lowType, uint16_t repeatWord, unsigned width,
                                      unsigned height) {
    // A row is at most 0xFFF, a column at most 0x7FF: limits beyond them change nothing, and below
    // them the signed 16-bit compares hold.
    const unsigned rowLimit = std::min(height, 0x1000u);
    const unsigned columnLimit = std::min(width, 0x800u);
    CountKinds k;
    uint64_t others = 0;
#if defined(__SSE2__)
    const __m128i typeBits = _mm_set1_epi16(static_cast<int16_t>(0xF000));
    const __m128i columnBits = _mm_set1_epi16(0x7FF);
    const __m128i rowType = _mm_setzero_si128();
    const __m128i columnType = _mm_set1_epi16(static_cast<int16_t>(Evt3Raw::ADDR_X << 12));
    const __m128i low = _mm_set1_epi16(static_cast<int16_t>(lowType));
    const __m128i repeat = _mm_set1_epi16(static_cast<int16_t>(repeatWord));
    const __m128i rowMax = _mm_set1_epi16(static_cast<int16_t>(rowLimit));
    const __m128i columnMax = _mm_set1_epi16(static_cast<int16_t>(columnLimit));
    const __m128i othersType = _mm_set1_epi16(static_cast<int16_t>(Evt3Raw::OTHERS << 12));
    auto bits = [](__m128i a, __m128i b) {
        return uint64_t(static_cast<uint16_t>(_mm_movemask_epi8(_mm_packs_epi16(a, b))));
    };
#pragma GCC unroll 4
    for (unsigned j = 0; j < WINDOW_WORDS; j += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + j));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + j + 8));
        const __m128i ta = _mm_and_si128(a, typeBits);
        const __m128i tb = _mm_and_si128(b, typeBits);
        const __m128i rowA = _mm_cmpeq_epi16(ta, rowType);
        const __m128i rowB = _mm_cmpeq_epi16(tb, rowType);
        const __m128i columnA = _mm_cmpeq_epi16(ta, columnType);
        const __m128i columnB = _mm_cmpeq_epi16(tb, columnType);
        const uint64_t rows = bits(rowA, rowB);
        const uint64_t columns = bits(columnA, columnB);
        // A row word is its payload.
        const uint64_t goodRows =
            bits(_mm_and_si128(rowA, _mm_cmplt_epi16(a, rowMax)), _mm_and_si128(rowB, _mm_cmplt_epi16(b, rowMax)));
        const uint64_t goodColumns =
            bits(_mm_and_si128(columnA, _mm_cmplt_epi16(_mm_and_si128(a, columnBits), columnMax)),
                 _mm_and_si128(columnB, _mm_cmplt_epi16(_mm_and_si128(b, columnBits), columnMax)));
        const uint64_t lows = bits(_mm_cmpeq_epi16(ta, low), _mm_cmpeq_epi16(tb, low));
        const uint64_t repeats = bits(_mm_cmpeq_epi16(a, repeat), _mm_cmpeq_epi16(b, repeat));
        const uint64_t othersHere = bits(_mm_cmpeq_epi16(ta, othersType), _mm_cmpeq_epi16(tb, othersType));
        k.rows |= rows << j;
        k.goodRows |= goodRows << j;
        k.goodColumns |= goodColumns << j;
        k.lows |= lows << j;
        k.taken |= (rows | columns | lows | repeats | othersHere) << j;
        others |= othersHere << j;
    }
#else
    for (unsigned i = 0; i < WINDOW_WORDS; ++i) {
        const uint16_t word = p[i].value();
        const uint64_t bit = uint64_t(1) << i;
        const unsigned type = word >> 12;
        const bool isRow = type == Evt3Raw::ADDR_Y;
        const bool isColumn = type == Evt3Raw::ADDR_X;
        const bool isLow = (word & 0xF000u) == lowType;
        k.rows |= isRow ? bit : 0;
        k.goodRows |= isRow && word < rowLimit ? bit : 0;
        k.goodColumns |= isColumn && (word & 0x7FFu) < columnLimit ? bit : 0;
        k.lows |= isLow ? bit : 0;
        others |= type == Evt3Raw::OTHERS ? bit : 0;
        k.taken |= (isRow || isColumn || isLow || type == Evt3Raw::OTHERS || word == repeatWord) ? bit : 0;
    }
#endif
    if (others != 0) {
        const uint64_t inner = takeOthers(p, others, k.taken);
        k.rows &= ~inner;
        k.goodRows &= ~inner;
        k.goodColumns &= ~inner;
        k.lows &= ~inner;
    }
    return k;
}

#if QUELNOR_WIDE_WINDOWS
// AVX-512 windows (BW and VBMI2), picked at run time. The kinds of 32 words come from one compare
// each, straight into mask registers. The events of a run are built without a step per event: for
// each word the position of the last row and of the last TIME_LOW at or before it is a prefix
// maximum over the lanes, their words one permute; the columns that make events are compressed
// and written four records per store. The records are the column loop's, byte for byte.
#define QUELNOR_WIDE_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi2,popcnt,lzcnt,bmi,bmi2")))

// The word loop's state before a window.
struct WideWindowState {
    uint64_t timeHigh;    // the time with its low part cleared
    uint16_t rowBefore;
    uint16_t lowBefore;   // the low time part
    bool selectedBefore;  // a row inside the sensor is selected
    unsigned width;
    unsigned height;
};

struct WideWindow {
    WindowKinds kinds;
    uint64_t run = 0;   // the words before the first one the fast path leaves to the switch
    size_t events = 0;  // events written, or WIDE_NOT_WRITTEN
};

// The run's events would fill the block: the column loop writes them, as it ends the run at the
// event that fills it.
constexpr size_t WIDE_NOT_WRITTEN = ~size_t(0);

using WideLanes = std::array<uint16_t, 32>;

// 1-based positions of the 32 words of a window half: 0 stands for "none".
alignas(64) constexpr WideLanes WIDE_POSITIONS = [] {
    WideLanes lanes{};
    for (unsigned i = 0; i < 32; ++i) {
        lanes[i] = static_cast<uint16_t>(i + 1);
    }
    return lanes;
}();

// Lane i takes lane i - 2^s, for s = 0..4.
alignas(64) constexpr std::array<WideLanes, 5> WIDE_DOWN = [] {
    std::array<WideLanes, 5> down{};
    for (unsigned s = 0; s < 5; ++s) {
        for (unsigned i = 0; i < 32; ++i) {
            down[s][i] = static_cast<uint16_t>((i - (1u << s)) & 31u);
        }
    }
    return down;
}();

// A record as eight 16-bit lanes: column, row, polarity, 0, then the time from its lowest part up.
constexpr unsigned WIDE_RECORD_LANES = 8;
constexpr unsigned WIDE_RECORDS = 4;  // per 64-byte store
// Lanes of the four records of a store taken from the column (a) and row (b) lanes of events 0-3,
// and from the polarity (a) and low time (b) lanes; the lanes of one permute are masked for the other.
alignas(64) constexpr WideLanes WIDE_COLUMNS_AND_ROWS = [] {
    WideLanes lanes{};
    for (unsigned e = 0; e < WIDE_RECORDS; ++e) {
        lanes[WIDE_RECORD_LANES * e] = static_cast<uint16_t>(e);
        lanes[WIDE_RECORD_LANES * e + 1] = static_cast<uint16_t>(32 + e);
    }
    return lanes;
}();
alignas(64) constexpr WideLanes WIDE_POLARITIES_AND_TIMES = [] {
    WideLanes lanes{};
    for (unsigned e = 0; e < WIDE_RECORDS; ++e) {
        lanes[WIDE_RECORD_LANES * e + 2] = static_cast<uint16_t>(e);
        lanes[WIDE_RECORD_LANES * e + 4] = static_cast<uint16_t>(32 + e);
    }
    return lanes;
}();
constexpr uint32_t WIDE_COLUMN_ROW_MASK = 0x03030303u;
constexpr uint32_t WIDE_POLARITY_TIME_MASK = 0x14141414u;

// The position of the last word of `marks` at or before each lane of a window half; `first` is
// the position of the half's first word less one. The upper half takes the lower half's last lane
// as its start (widePositionsAfter).
QUELNOR_WIDE_TARGET inline __m512i widePositions(uint32_t marks, uint16_t first) {
    const __m512i positions =
        _mm512_add_epi16(_mm512_load_si512(WIDE_POSITIONS.data()), _mm512_set1_epi16(static_cast<int16_t>(first)));
    __m512i v = _mm512_maskz_mov_epi16(marks, positions);
#pragma GCC unroll 5
    for (unsigned s = 0; s < 5; ++s) {
        const __mmask32 from = ~uint32_t(0) << (1u << s);
        v = _mm512_max_epu16(v, _mm512_maskz_permutexvar_epi16(from, _mm512_load_si512(WIDE_DOWN[s].data()), v));
    }
    return v;
}

QUELNOR_WIDE_TARGET inline __m512i widePositionsAfter(uint32_t marks, __m512i lower) {
    return _mm512_max_epu16(widePositions(marks, 32), _mm512_permutexvar_epi16(_mm512_set1_epi16(31), lower));
}

// The window's word at each 1-based position of `positions`, `none` where it is 0.
QUELNOR_WIDE_TARGET inline __m512i wideWordsAt(__m512i positions, __m512i w0, __m512i w1, __m512i none) {
    const __m512i words = _mm512_permutex2var_epi16(w0, _mm512_sub_epi16(positions, _mm512_set1_epi16(1)), w1);
    return _mm512_mask_mov_epi16(none, _mm512_test_epi16_mask(positions, positions), words);
}

// Writes the events of the `kept` columns of a window half from `out` on; returns their number.
template <bool FlipX>
QUELNOR_WIDE_TARGET inline size_t wideEvents(uint32_t kept, __m512i words, __m512i rows, __m512i lows,
                                             const WideWindowState& s, Event2D* out) {
    const __m512i columns = _mm512_maskz_compress_epi16(kept, words);
    rows = _mm512_maskz_compress_epi16(kept, rows);
    lows = _mm512_maskz_compress_epi16(kept, lows);
    __m512i x = _mm512_and_si512(columns, _mm512_set1_epi16(0x7FF));
    if constexpr (FlipX) {
        x = _mm512_sub_epi16(_mm512_set1_epi16(static_cast<int16_t>(s.width - 1)), x);
    }
    const __m512i polarity = _mm512_and_si512(_mm512_srli_epi16(columns, 11), _mm512_set1_epi16(1));
    const __m512i time = _mm512_or_si512(_mm512_and_si512(lows, _mm512_set1_epi16(static_cast<int16_t>(TIME_LOW_MASK))),
                                         _mm512_set1_epi16(static_cast<int16_t>(s.timeHigh & 0xFFFF)));
    // The lanes the events do not set: the head's last lane and the time above its lowest lane.
    const auto high = static_cast<long long>(s.timeHigh);
    const __m512i fixed = _mm512_set_epi64(high, 0, high, 0, high, 0, high, 0);
    __m512i columnsAndRows = _mm512_load_si512(WIDE_COLUMNS_AND_ROWS.data());
    __m512i polaritiesAndTimes = _mm512_load_si512(WIDE_POLARITIES_AND_TIMES.data());
    const __m512i next = _mm512_set1_epi16(WIDE_RECORDS);
    const size_t count = static_cast<size_t>(std::popcount(kept));
    for (size_t e = 0; e < count; e += WIDE_RECORDS) {
        __m512i records = _mm512_mask_mov_epi16(fixed, WIDE_COLUMN_ROW_MASK,
                                                _mm512_permutex2var_epi16(x, columnsAndRows, rows));
        records = _mm512_mask_mov_epi16(records, WIDE_POLARITY_TIME_MASK,
                                        _mm512_permutex2var_epi16(polarity, polaritiesAndTimes, time));
        const size_t left = count - e;
        const uint32_t lanes = left >= WIDE_RECORDS ? ~uint32_t(0) : (uint32_t(1) << (WIDE_RECORD_LANES * left)) - 1;
        _mm512_mask_storeu_epi16(out + e, lanes, records);
        columnsAndRows = _mm512_add_epi16(columnsAndRows, next);
        polaritiesAndTimes = _mm512_add_epi16(polaritiesAndTimes, next);
    }
    return count;
}

// classifyWindow, and the events of the run written from `out` on while fewer than `room`.
template <bool FlipX>
QUELNOR_WIDE_TARGET WideWindow wideWindow(const RawEvent* p, bool lowsTaken, uint16_t repeatWord,
                                          const WideWindowState& s, Event2D* out, size_t room) {
    WideWindow r;
    WindowKinds& k = r.kinds;
    const __m512i w0 = _mm512_loadu_si512(p);
    const __m512i w1 = _mm512_loadu_si512(p + 32);
    const __m512i rowType = _mm512_set1_epi16(Evt3Raw::ADDR_Y);
    const __m512i columnType = _mm512_set1_epi16(Evt3Raw::ADDR_X);
    // 0xFF: no word's type.
    const __m512i lowType = _mm512_set1_epi16(static_cast<int16_t>(lowsTaken ? unsigned(Evt3Raw::TIME_LOW) : 0xFFu));
    const __m512i othersType = _mm512_set1_epi16(Evt3Raw::OTHERS);
    const __m512i repeat = _mm512_set1_epi16(static_cast<int16_t>(repeatWord));
    // A row word is its payload, at most 0xFFF; a column at most 0x7FF.
    const __m512i rowLimit = _mm512_set1_epi16(static_cast<int16_t>(std::min(s.height, 0x1000u)));
    const __m512i columnLimit = _mm512_set1_epi16(static_cast<int16_t>(std::min(s.width, 0x800u)));
    const __m512i columnBits = _mm512_set1_epi16(0x7FF);
    uint64_t others = 0;
    uint64_t goodRows = 0;
    uint64_t goodColumns = 0;
    for (unsigned h = 0; h < 2; ++h) {
        const __m512i w = h == 0 ? w0 : w1;
        const __m512i types = _mm512_srli_epi16(w, 12);
        const uint64_t rows = _mm512_cmpeq_epi16_mask(types, rowType);
        const uint64_t columns = _mm512_cmpeq_epi16_mask(types, columnType);
        const uint64_t lows = _mm512_cmpeq_epi16_mask(types, lowType);
        const uint64_t othersHere = _mm512_cmpeq_epi16_mask(types, othersType);
        const uint64_t repeats = _mm512_cmpeq_epi16_mask(w, repeat);
        const unsigned shift = 32 * h;
        k.rows |= rows << shift;
        k.columns |= columns << shift;
        k.lows |= lows << shift;
        k.taken |= (rows | columns | lows | othersHere | repeats) << shift;
        others |= othersHere << shift;
        goodRows |= uint64_t(_mm512_mask_cmplt_epu16_mask(static_cast<__mmask32>(rows), w, rowLimit)) << shift;
        goodColumns |= uint64_t(_mm512_mask_cmplt_epu16_mask(static_cast<__mmask32>(columns),
                                                              _mm512_and_si512(w, columnBits), columnLimit))
                       << shift;
    }
    if (others != 0) {
        const uint64_t inner = takeOthers(p, others, k.taken);
        k.rows &= ~inner;
        k.columns &= ~inner;
        k.lows &= ~inner;
        goodRows &= ~inner;
        goodColumns &= ~inner;
    }
    const uint64_t stop = ~k.taken;
    r.run = stop != 0 ? (stop & (0 - stop)) - 1 : ~uint64_t(0);
    // A column makes an event when it is inside the sensor and the last row before it is (or the
    // state before the window, without one): a carry that good rows set, other rows clear and
    // every other word passes on.
    const uint64_t passing = goodRows | ~k.rows;
    const uint64_t carries = (passing + goodRows + (s.selectedBefore ? 1u : 0u)) ^ passing ^ goodRows;
    const uint64_t kept = goodColumns & carries & r.run;
    const size_t total = static_cast<size_t>(std::popcount(kept));
    if (total >= room) {
        r.events = WIDE_NOT_WRITTEN;
        return r;
    }
    r.events = total;
    if (total == 0) {
        return r;
    }
    const __m512i rowNone = _mm512_set1_epi16(static_cast<int16_t>(s.rowBefore));
    const __m512i lowNone = _mm512_set1_epi16(static_cast<int16_t>(s.lowBefore));
    const __m512i rowsLow = widePositions(static_cast<uint32_t>(k.rows), 0);
    const __m512i lowsLow = widePositions(static_cast<uint32_t>(k.lows), 0);
    const size_t written = wideEvents<FlipX>(static_cast<uint32_t>(kept), w0, wideWordsAt(rowsLow, w0, w1, rowNone),
                                             wideWordsAt(lowsLow, w0, w1, lowNone), s, out);
    if ((kept >> 32) != 0) {
        const __m512i rowsHigh = widePositionsAfter(static_cast<uint32_t>(k.rows >> 32), rowsLow);
        const __m512i lowsHigh = widePositionsAfter(static_cast<uint32_t>(k.lows >> 32), lowsLow);
        wideEvents<FlipX>(static_cast<uint32_t>(kept >> 32), w1, wideWordsAt(rowsHigh, w0, w1, rowNone),
                          wideWordsAt(lowsHigh, w0, w1, lowNone), s, out + written);
    }
    return r;
}

// Whether the machine runs the wide windows; QUELNOR_EVT3_NO_AVX512=1 keeps them off (the tests
// run the other path this way).
bool wideWindowsAvailable() {
    static const bool available = [] {
        const char* off = std::getenv("QUELNOR_EVT3_NO_AVX512");
        if (off != nullptr && off[0] != '\0' && std::strcmp(off, "0") != 0) {
            return false;
        }
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi2");
    }();
    return available;
}
#else
bool wideWindowsAvailable() { return false; }
#endif

// Set bits of a 64-bit value, without a library call where the machine lacks the instruction.
inline unsigned countBits(uint64_t v) {
#if defined(__POPCNT__)
    return static_cast<unsigned>(std::popcount(v));
#else
    v = v - ((v >> 1) & 0x5555555555555555u);
    v = (v & 0x3333333333333333u) + ((v >> 2) & 0x3333333333333333u);
    v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return static_cast<unsigned>((v * 0x0101010101010101u) >> 56);
#endif
}

// The set bits of each byte value, lowest first, padded with zeros, and how many there are: a
// vector group's mask is expanded eight columns at a time, without a branch on its bits (a walk
// over the set bits ends after a number of steps the data decides, one misprediction per group).
// The offsets are 64-bit so that each loads straight into the column lane of an event (16 KiB).
struct ByteBits {
    std::array<std::array<uint64_t, 8>, 256> offsets{};
    std::array<uint8_t, 256> counts{};
};

constexpr ByteBits makeByteBits() {
    ByteBits table;
    for (unsigned value = 0; value < 256; ++value) {
        unsigned k = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            if (value & (1u << bit)) {
                table.offsets[value][k++] = bit;
            }
        }
        table.counts[value] = static_cast<uint8_t>(k);
    }
    return table;
}

constexpr ByteBits BYTE_BITS = makeByteBits();

// Writes the events of a vector group's mask from `slots` on and returns their number. `head` is
// column, row and polarity of the group's first column as the word loop packs them; columns count
// down from it with FlipX. Eight slots are written per byte of the mask whatever it holds, so up
// to 32 slots from `slots` must be free; the slots past the events are scratch.
template <bool FlipX>
inline size_t expandVectorMask(Event2D* slots, uint32_t mask, uint64_t head, uint64_t timestamp) {
    size_t k = 0;
#pragma GCC unroll 4
    for (unsigned chunk = 0; chunk < 4; ++chunk) {
        const unsigned bits = (mask >> (8 * chunk)) & 0xFFu;
        const uint64_t* offsets = BYTE_BITS.offsets[bits].data();
        const uint64_t chunkHead = FlipX ? head - 8 * chunk : head + 8 * chunk;
        auto* out = reinterpret_cast<unsigned char*>(slots + k);
#if defined(__SSE2__)
        const __m128i event = _mm_set_epi64x(static_cast<long long>(timestamp), static_cast<long long>(chunkHead));
#pragma GCC unroll 8
        for (unsigned j = 0; j < 8; ++j) {
            const __m128i offset = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(offsets + j));
            const __m128i value = FlipX ? _mm_sub_epi64(event, offset) : _mm_add_epi64(event, offset);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j * sizeof(Event2D)), value);
        }
#else
#pragma GCC unroll 8
        for (unsigned j = 0; j < 8; ++j) {
            const uint64_t value = FlipX ? chunkHead - offsets[j] : chunkHead + offsets[j];
            std::memcpy(out + j * sizeof(Event2D), &value, sizeof(value));
            std::memcpy(out + j * sizeof(Event2D) + offsetof(Event2D, timestamp), &timestamp, sizeof(timestamp));
        }
#endif
        k += BYTE_BITS.counts[bits];
    }
    return k;
}

// Index of the highest set bit; 0 for none.
inline size_t highestBit(uint64_t v) { return static_cast<unsigned>(std::countl_zero(v | 1)) ^ 63u; }

// TIME_HIGH with payload `high` after `last`: the candidate time and whether it is accepted.
inline bool reconstructTime(uint64_t last, uint16_t high, uint64_t limit, uint64_t& candidate) {
    uint64_t time = last;
    const uint64_t old = (time >> 12) & 0xFFF;
    if (old >= uint64_t(high) + 2048) {
        time += TIME_PERIOD;  // the high part fell by half its range or more: wrapped
    }
    if (high != old) {
        time &= ~TIME_LOW_MASK;
    }
    time = (time & ~TIME_HIGH_MASK) | (uint64_t(high) << 12);
    candidate = time;
    const bool anomaly = time < last || (time >= TIME_PERIOD && time - last > limit);
    return !anomaly;
}

inline EventTriggerIn triggerFromWord(uint16_t payload, uint64_t timestamp) {
    return EventTriggerIn(static_cast<int16_t>((payload >> 8) & 0xF), static_cast<int16_t>(payload & 1), timestamp);
}

} // namespace

EVT3Decoder::EVT3Decoder(uint16_t width_, uint16_t height_)
    : height(height_), width(width_) {
    vectorCheck.height = height_;
    vectorCheck.width = width_;
    blockPool = std::make_unique<ObjectPool<std::vector<Event2D>>>(POOL_BLOCKS, false, BLOCK_SIZE);
    lastAnomalyWarning = std::chrono::steady_clock::now();
    writer = std::make_unique<Evt3EventWriter>(*this);
    carryWords = std::make_unique<std::vector<RawEvent>>();
    // Room for the longest group, so carrying a group over never allocates.
    carryWords->reserve(MAX_GROUP_WORDS);
}

EVT3Decoder::~EVT3Decoder() = default;

uint32_t EVT3Decoder::decode(std::vector<uint8_t>& buffer) {
    if (buffer.data() == nullptr) {
        return 0;
    }
    uint8_t* first = buffer.data();
    return decode(first, first + (buffer.size() & ~size_t(1)));
}

uint32_t EVT3Decoder::decode(void* first, void* last) {
    decodeRange<false>(first, last);
    return static_cast<uint32_t>(eventsThisCall);
}

EVT3Decoder::EventCount EVT3Decoder::countEvents(void* first, void* last) {
    tally = EventCount();
    tallyFill = 0;
    decodeRange<true>(first, last);
    // The block a decode hands over at the end of the call.
    if (tallyFill != 0) {
        tally.latestBlockEnd = std::max(tally.latestBlockEnd, tally.lastTime);
        tallyFill = 0;
    }
    eventsThisCall = tally.events;
    if (tally.events != 0) {
        std::lock_guard<std::mutex> lock(statsMutex);
        eventsCount += tally.events;
    }
    return tally;
}

template <bool Count>
void EVT3Decoder::decodeRange(void* first, void* last) {
    const auto* begin = static_cast<const uint8_t*>(first);
    const auto* finish = static_cast<const uint8_t*>(last);
    if (begin == nullptr || finish == nullptr || finish < begin) {
        finish = begin;
    }
    const size_t bytes = static_cast<size_t>(finish - begin);
    {
        std::lock_guard<std::mutex> lock(statsMutex);
        bytesCount += bytes;
    }
    eventsThisCall = 0;
    // Counting hands nothing over: countEvents() closes its tally.
    auto flushWriter = [&]() __attribute__((always_inline)) {
        if constexpr (!Count) {
            if (!writer->empty()) {
                writer->flush();
            }
        }
    };
    auto loop = [this](const RawEvent*& current, const RawEvent* end) __attribute__((always_inline)) {
        return decodeWords<Count>(current, end);
    };
    if (bytes < sizeof(RawEvent)) {
        // Nothing to decode, but a carried group keeps waiting.
        flushWriter();
        return;
    }

    const RawEvent* current = reinterpret_cast<const RawEvent*>(begin);
    const RawEvent* end = current + bytes / sizeof(RawEvent);

    if (missingWords != 0) {
        const auto available = static_cast<uint64_t>(end - current);
        if (available < missingWords) {
            carryWords->insert(carryWords->end(), current, end);
            missingWords -= available;
            return;
        }
        carryWords->insert(carryWords->end(), current, current + missingWords);
        current += missingWords;
        missingWords = 0;
        const RawEvent* carried = carryWords->data();
        loop(carried, carried + carryWords->size());
        carryWords->clear();
    }

    const int missing = loop(current, end);
    missingWords = static_cast<uint64_t>(missing);
    if (missing != 0) {
        carryWords->insert(carryWords->end(), current, end);
    }
    flushWriter();
}

template <bool Count>
int EVT3Decoder::decodeWords(const RawEvent*& current, const RawEvent* end) {
    if (resyncNeeds != 0) [[unlikely]] {
        const int missing = resyncLoop(current, end);
        if (missing != 0 || current == end) {
            return missing;
        }
    }
    if constexpr (Count) {
        return wordLoop<false, true>(current, end);  // a column's side changes no count
    } else {
        return decodeTest(current, end);
    }
}

void EVT3Decoder::notifyGap() {
    // A group cut off before the hole would be completed with words from after it.
    carryWords->clear();
    missingWords = 0;
    vectorCheck.vectorBaseValid = false;
    rowSelected = false;
    rowWordIsY = false;
    resyncNeeds = NEED_TIME_HIGH | NEED_TIME_LOW | NEED_ROW;
    clearTimeJump();
}

// Rare and short (it ends with the first row and time words after a gap): one word at a time, kept
// out of line so the word loop's caller stays as it is.
__attribute__((noinline)) int EVT3Decoder::resyncLoop(const RawEvent*& current, const RawEvent* end) {
    const RawEvent* p = current;
    uint16_t* const payloads = lastPayload.lastPayload.data();
    auto reselect = [&] { rowSelected = rowWordIsY && payloads[Evt3Raw::ADDR_Y] < height; };
    while (p < end && resyncNeeds != 0) {
        const uint16_t word = p->value();
        const unsigned type = word >> 12;
        const uint16_t payload = word & 0x0FFF;
        switch (type) {
        case Evt3Raw::ADDR_X:
        case Evt3Raw::EXT_TRIGGER:
            ++p; // nothing is delivered before time and row are known again
            break;
        case Evt3Raw::ADDR_Y:
            payloads[Evt3Raw::ADDR_Y] = payload;
            rowWordIsY = true;
            reselect();
            resyncNeeds &= static_cast<uint8_t>(~NEED_ROW);
            ++p;
            break;
        case Evt3Raw::ADDR_Y_OTHER:
            payloads[type] = payload;
            rowWordIsY = false;
            rowSelected = false;
            ++p;
            break;
        case Evt3Raw::TIME_HIGH: {
            // The hole may have held any amount of time: the first TIME_HIGH after it may jump
            // forward as far as it likes, never back.
            const bool first = (resyncNeeds & NEED_TIME_HIGH) != 0;
            const uint64_t limit = first ? ~uint64_t(0) : DECODE_TIME_JUMP_LIMIT;
            uint64_t candidate;
            bool taken = reconstructTime(lastTimestamp, payload, limit, candidate);
            if (!taken) {
                candidateTimestamp = candidate;
                taken = confirmTimeJump(payload, limit, candidate);
                if (!taken) {
                    noteAnomaly();
                }
            }
            if (taken) {
                lastTimestamp = candidate;
                timeHighSeen = true;
                resyncNeeds &= static_cast<uint8_t>(~NEED_TIME_HIGH);
            }
            ++p;
            break;
        }
        case Evt3Raw::TIME_LOW:
            payloads[Evt3Raw::TIME_LOW] = payload;
            // Before the TIME_HIGH the low part belongs to a time not known yet.
            if ((resyncNeeds & NEED_TIME_HIGH) == 0) {
                lastTimestamp = (lastTimestamp & ~TIME_LOW_MASK) | payload;
                timeLowSeen = true;
                resyncNeeds &= static_cast<uint8_t>(~NEED_TIME_LOW);
                if (!firstTimestampSet && timeHighSeen) {
                    firstTimestamp = lastTimestamp;
                    firstTimestampSet = true;
                }
            }
            ++p;
            break;
        case Evt3Raw::VECT_BASE_X:
            payloads[type] = payload;
            vectorCheck.vectorBaseValid = true;
            reselect();
            ++p;
            break;
        case Evt3Raw::VECT_12: {
            const auto remaining = end - p;
            if (remaining < VECTOR_GROUP_WORDS) {
                current = p;
                return VECTOR_GROUP_WORDS - static_cast<int>(remaining);
            }
            // No events, but the base moves on as it would, for the groups after resynchronisation.
            if (rowSelected) {
                const uint16_t vectorBase = payloads[Evt3Raw::VECT_BASE_X];
                const int base = vectorBase & 0x7FF;
                if (!(vectorCheck.vectorBaseValid && base + VECTOR_EVENTS <= vectorCheck.width)) {
                    vectorCheck.vectorBaseValid = false;
                }
                payloads[Evt3Raw::VECT_BASE_X] = static_cast<uint16_t>(vectorBase + VECTOR_EVENTS);
            }
            p += VECTOR_GROUP_WORDS;
            break;
        }
        case Evt3Raw::OTHERS:
            if (payload == OTHERS_GROUP_SUBTYPE_A || payload == OTHERS_GROUP_SUBTYPE_B) {
                const auto remaining = end - p;
                if (remaining < OTHERS_GROUP_WORDS) {
                    current = p;
                    return OTHERS_GROUP_WORDS - static_cast<int>(remaining);
                }
                p += OTHERS_GROUP_WORDS;
            } else {
                ++p;
            }
            break;
        default:
            payloads[type] = payload;
            reselect();
            ++p;
            break;
        }
    }
    current = p;
    return 0;
}

int EVT3Decoder::decodeTest(const RawEvent*& current, const RawEvent* end) {
    return flipXEnabled ? wordLoop<true, false>(current, end) : wordLoop<false, false>(current, end);
}

// One pass over the words. The hot state lives in locals (stores into Event2D may alias members)
// and is written back before anything outside the loop can look at the decoder.
//
// Recordings are mostly single events: a few time words, then ADDR_Y and ADDR_X. How many time
// words come between two events is random, so branching on each word mispredicts about once per
// event. The fast path below takes runs of such words without branching on the time words; every
// other word goes through the switch, one word or group at a time.
//
// Counting (Count) goes through the same words and state, with a tally in place of the events: the
// block fill follows the writer's, so the tally knows which events would end a block.
template <bool FlipX, bool Count>
int EVT3Decoder::wordLoop(const RawEvent*& current, const RawEvent* end) {
    // Flags of the hot state, kept together in one register.
    constexpr unsigned SELECTED = 1u;
    constexpr unsigned ROW_IS_Y = 2u;
    constexpr unsigned LOW_SEEN = 4u;
    constexpr unsigned HIGH_SEEN = 8u;
    constexpr unsigned FIRST_SET = 16u;
    // With all three, time words that do not change the high part change nothing but the time.
    constexpr unsigned TIME_SETTLED = LOW_SEEN | HIGH_SEEN | FIRST_SET;

    const RawEvent* p = current;
    [[maybe_unused]] const bool wide = !Count && wideWindowsAvailable();
    uint16_t* const payloads = lastPayload.lastPayload.data();
    const unsigned sensorWidth = width;
    const unsigned sensorHeight = height;

    Event2D* out = Count ? nullptr : writer->data();
    size_t n = Count ? tallyFill : writer->size();
    // Counting: events of the call, and the time of the latest.
    uint64_t counted = tally.events;
    uint64_t latest = tally.lastTime;
    uint64_t ts = lastTimestamp;
    uint16_t row = payloads[Evt3Raw::ADDR_Y];
    unsigned state = 0;

    // Everything outside this function (callbacks, the writer, the getters) sees the members, so the
    // locals go back before each call out and are taken up again after it.
    auto storeState = [&]() __attribute__((always_inline)) {
        if constexpr (Count) {
            tallyFill = n;
            tally.events = counted;
            tally.lastTime = latest;
        } else {
            writer->setSize(n);
        }
        lastTimestamp = ts;
        payloads[Evt3Raw::ADDR_Y] = row;
        rowSelected = (state & SELECTED) != 0;
        rowWordIsY = (state & ROW_IS_Y) != 0;
        timeLowSeen = (state & LOW_SEEN) != 0;
        timeHighSeen = (state & HIGH_SEEN) != 0;
        firstTimestampSet = (state & FIRST_SET) != 0;
    };
    auto loadState = [&]() __attribute__((always_inline)) {
        if constexpr (Count) {
            n = tallyFill;
            counted = tally.events;
            latest = tally.lastTime;
        } else {
            out = writer->data();
            n = writer->size();
        }
        ts = lastTimestamp;
        row = payloads[Evt3Raw::ADDR_Y];
        state = (rowSelected ? SELECTED : 0u) | (rowWordIsY ? ROW_IS_Y : 0u) | (timeLowSeen ? LOW_SEEN : 0u) |
                (timeHighSeen ? HIGH_SEEN : 0u) | (firstTimestampSet ? FIRST_SET : 0u);
    };
    auto flush = [&]() __attribute__((always_inline)) {
        if constexpr (Count) {
            // The block a decode would hand over ends with the latest event.
            if (n != 0) {
                tally.latestBlockEnd = std::max(tally.latestBlockEnd, latest);
                n = 0;
            }
        } else {
            storeState();
            writer->flush();
            loadState();
        }
    };
    // Counting: `k` events, all at the current time.
    auto tallyAtNow = [&](unsigned k) __attribute__((always_inline)) {
        if (k != 0) {
            if (counted == 0) [[unlikely]] {
                tally.firstTime = ts;
            }
            latest = ts;
            counted += k;
            n += k;
        }
    };
    // Writes the event in the next slot; `keep` says whether it counts. Writing it regardless and
    // counting it or not costs less than a branch the data decides. Column, row and polarity go in
    // as one 64-bit store.
    auto put = [&](unsigned x, unsigned polarity, unsigned keep) __attribute__((always_inline)) {
        if constexpr (Count) {
            tallyAtNow(keep);
        } else {
            const uint64_t head = uint64_t(FlipX ? sensorWidth - 1 - x : x) | (uint64_t(row) << 16) |
                                  (uint64_t(polarity) << 32);
            auto* slot = reinterpret_cast<unsigned char*>(out + n);
            std::memcpy(slot, &head, sizeof(head));
            std::memcpy(slot + offsetof(Event2D, timestamp), &ts, sizeof(ts));
            n += keep;
        }
    };

    // The fast path: a run of words that only set the row, set the low time part, make an event or
    // change nothing (ADDR_Y, TIME_LOW, a repeated TIME_HIGH, ADDR_X, OTHERS). The kinds of a window of words are found
    // at once as bit masks; each ADDR_X then finds the last ADDR_Y and TIME_LOW before it from the
    // masks, without a branch on the words in between. Returns at the first word of another kind
    // (left to the switch), near the end of the range, or when the block is full.
    auto fastRun = [&]() __attribute__((always_inline)) {
        const auto repeatWord = static_cast<uint16_t>((Evt3Raw::TIME_HIGH << 12) | ((ts >> 12) & 0xFFF));
        const uint64_t timeHigh = ts & ~TIME_LOW_MASK;
        while (end - p >= WINDOW_WORDS) {
            // A TIME_LOW that may reach a pending custom trigger goes through the switch, which
            // checks it. Read for each window: another thread may set one at any time.
            const uint64_t pending = customTriggerIn.load(std::memory_order_relaxed);
            const bool lowIsTimeOnly = pending == 0 || pending > (timeHigh | TIME_LOW_MASK);
            WindowKinds kinds;
            uint64_t run;  // the words before the first one left to the switch
            uint64_t columns;
#if QUELNOR_WIDE_WINDOWS
            if (wide) {
                const WideWindowState before{timeHigh, row, static_cast<uint16_t>(ts & TIME_LOW_MASK),
                                             (state & SELECTED) != 0, sensorWidth, sensorHeight};
                const WideWindow window = wideWindow<FlipX>(p, lowIsTimeOnly, repeatWord, before, out + n,
                                                            BLOCK_SIZE - n);
                kinds = window.kinds;
                run = window.run;
                if (window.events != WIDE_NOT_WRITTEN) {
                    n += window.events;
                    columns = 0;  // written
                } else {
                    columns = kinds.columns & run;
                }
            } else
#endif
            {
                kinds = classifyWindow(p, lowIsTimeOnly, repeatWord);
                const uint64_t others = ~kinds.taken;
                run = others != 0 ? (others & (0 - others)) - 1 : ~uint64_t(0);
                columns = kinds.columns & run;
            }
            if (run == 0) {
                return;
            }
            // Columns below the limit make events: the width while a row is selected, else 0.
            const uint16_t rowBefore = row;
            const unsigned limitBefore = (state & SELECTED) ? sensorWidth : 0u;
            const uint64_t lowBefore = ts & TIME_LOW_MASK;
            while (columns != 0) {
                const size_t i = static_cast<unsigned>(std::countr_zero(columns));
                const uint64_t rest = columns & (columns - 1);
                const uint64_t before = (columns - 1) ^ rest;  // the bits below i
                columns = rest;
                const uint64_t rows = kinds.rows & before;
                const uint64_t lows = kinds.lows & before;
                // Loaded whatever the masks say, so that choosing costs no branch.
                const uint16_t rowWord = p[highestBit(rows)].value();
                const uint16_t lowWord = p[highestBit(lows)].value();
                const uint16_t columnWord = p[i].value();
                row = rows != 0 ? rowWord : rowBefore;  // type 0: the word is its payload
                const unsigned rowLimit = rowWord < sensorHeight ? sensorWidth : 0u;
                const unsigned limit = rows != 0 ? rowLimit : limitBefore;
                ts = timeHigh | (lows != 0 ? uint64_t(lowWord & TIME_LOW_MASK) : lowBefore);
                const unsigned x = columnWord & 0x7FFu;
                put(x, (columnWord >> 11) & 1u, unsigned(x < limit));
                if (n == BLOCK_SIZE) [[unlikely]] {
                    run = (before << 1) | 1;  // the run ends with this word
                    break;
                }
            }
            // The state after the run's last word. Without a row or low time word in the run, the
            // events left row and time as they were.
            const uint64_t rows = kinds.rows & run;
            const uint64_t lows = kinds.lows & run;
            if (rows != 0) {
                row = p[highestBit(rows)].value();
                state = (state & ~SELECTED) | ROW_IS_Y | (row < sensorHeight ? SELECTED : 0u);
            }
            if (lows != 0) {
                const uint16_t low = p[highestBit(lows)].payload();
                payloads[Evt3Raw::TIME_LOW] = low;
                ts = timeHigh | low;
            }
            p += std::bit_width(run);
            if (run != ~uint64_t(0) || n == BLOCK_SIZE) {
                return;
            }
        }
    };

    // The fast path of counting: the same runs, the events of a window counted at once. A column
    // makes an event when it is below the width and the last row word before it (or the state
    // before the window, without one) is below the height. That is a carry through the window:
    // rows below the height set it, the others clear it, every other word passes it on.
    auto countRun = [&]() __attribute__((always_inline)) {
        const auto repeatWord = static_cast<uint16_t>((Evt3Raw::TIME_HIGH << 12) | ((ts >> 12) & 0xFFF));
        const uint64_t timeHigh = ts & ~TIME_LOW_MASK;
        while (end - p >= WINDOW_WORDS) {
            const uint64_t pending = customTriggerIn.load(std::memory_order_relaxed);
            const bool lowIsTimeOnly = pending == 0 || pending > (timeHigh | TIME_LOW_MASK);
            const uint16_t lowType = lowIsTimeOnly ? uint16_t(Evt3Raw::TIME_LOW << 12) : uint16_t(1);
            const CountKinds kinds = classifyCountWindow(p, lowType, repeatWord, sensorWidth, sensorHeight);
            const uint64_t others = ~kinds.taken;
            const uint64_t run = others != 0 ? (others & (0 - others)) - 1 : ~uint64_t(0);
            if (run == 0) {
                return;
            }
            const uint64_t passing = kinds.goodRows | ~kinds.rows;
            const uint64_t carries =
                (passing + kinds.goodRows + ((state & SELECTED) ? 1u : 0u)) ^ passing ^ kinds.goodRows;
            const uint64_t kept = kinds.goodColumns & carries & run;
            const uint64_t lows = kinds.lows & run;
            if (kept != 0) {
                const uint64_t lowBefore = ts & TIME_LOW_MASK;
                // The time of the word at i: of the last TIME_LOW before it.
                auto timeAt = [&](size_t i) __attribute__((always_inline)) {
                    const uint64_t before = lows & ((uint64_t(1) << i) - 1);
                    return timeHigh | (before != 0 ? uint64_t(p[highestBit(before)].value() & TIME_LOW_MASK)
                                                   : lowBefore);
                };
                const unsigned k = countBits(kept);
                if (counted == 0) [[unlikely]] {
                    tally.firstTime = timeAt(static_cast<unsigned>(std::countr_zero(kept)));
                }
                if (n + k >= BLOCK_SIZE) [[unlikely]] {
                    // The event that fills the block ends it.
                    uint64_t rest = kept;
                    for (size_t skip = BLOCK_SIZE - n - 1; skip != 0; --skip) {
                        rest &= rest - 1;
                    }
                    tally.latestBlockEnd =
                        std::max(tally.latestBlockEnd, timeAt(static_cast<unsigned>(std::countr_zero(rest))));
                    n = n + k - BLOCK_SIZE;
                } else {
                    n += k;
                }
                counted += k;
                latest = timeAt(highestBit(kept));
            }
            const uint64_t rows = kinds.rows & run;
            if (rows != 0) {
                row = p[highestBit(rows)].value();
                state = (state & ~SELECTED) | ROW_IS_Y | (row < sensorHeight ? SELECTED : 0u);
            }
            if (lows != 0) {
                const uint16_t low = p[highestBit(lows)].payload();
                payloads[Evt3Raw::TIME_LOW] = low;
                ts = timeHigh | low;
            }
            p += std::bit_width(run);
            if (run != ~uint64_t(0)) {
                return;
            }
        }
    };

    // Types of the words a fast run can start with.
    constexpr unsigned FAST_START_TYPES = (1u << Evt3Raw::ADDR_Y) | (1u << Evt3Raw::ADDR_X) |
                                          (1u << Evt3Raw::TIME_LOW) | (1u << Evt3Raw::TIME_HIGH) |
                                          (1u << Evt3Raw::OTHERS);

    loadState();
    while (p < end) {
        if ((state & TIME_SETTLED) == TIME_SETTLED && ((FAST_START_TYPES >> p->type()) & 1u)) {
            if constexpr (Count) {
                countRun();
            } else {
                fastRun();
                if (n == BLOCK_SIZE) [[unlikely]] {
                    flush();
                    continue;
                }
            }
            if (p >= end) {
                break;
            }
        }
        const uint16_t word = p->value();
        const unsigned type = word >> 12;
        const uint16_t payload = word & 0x0FFF;
        switch (type) {
        case Evt3Raw::ADDR_X: {
            const unsigned x = payload & 0x7FFu;
            put(x, payload >> 11, unsigned((state & SELECTED) != 0) & unsigned(x < sensorWidth));
            if (n == BLOCK_SIZE) [[unlikely]] {
                flush();
            }
            ++p;
            break;
        }
        case Evt3Raw::ADDR_Y:
            row = payload;
            state = (state & ~SELECTED) | ROW_IS_Y | (row < sensorHeight ? SELECTED : 0u);
            ++p;
            break;
        case Evt3Raw::TIME_LOW: {
            payloads[Evt3Raw::TIME_LOW] = payload;
            ts = (ts & ~TIME_LOW_MASK) | payload;
            state |= LOW_SEEN;
            ++p;
            if (!(state & FIRST_SET) && (state & HIGH_SEEN)) [[unlikely]] {
                firstTimestamp = ts;
                state |= FIRST_SET;
            }
            const uint64_t pending = customTriggerIn.load(std::memory_order_relaxed);
            if (pending != 0 && ts >= pending) [[unlikely]] {
                // Each is taken before its callback runs, so a time set from inside it is kept.
                while (takeDueCustomTrigger(ts)) {
                    if (!triggerInCallback) {
                        continue;
                    }
                    if (n != 0) {
                        flush();
                    }
                    storeState();
                    triggerInCallback(EventTriggerIn(0, 2, ts));
                    loadState();
                }
            }
            break;
        }
        case Evt3Raw::TIME_HIGH: {
            uint64_t candidate;
            if (reconstructTime(ts, payload, DECODE_TIME_JUMP_LIMIT, candidate)) [[likely]] {
                ts = candidate;
                state |= HIGH_SEEN;
            } else {
                candidateTimestamp = candidate;
                storeState();
                refuseTimeHigh(payload, DECODE_TIME_JUMP_LIMIT);
                loadState();
            }
            ++p;
            break;
        }
        case Evt3Raw::VECT_BASE_X:
            payloads[Evt3Raw::VECT_BASE_X] = payload;
            vectorCheck.vectorBaseValid = true;
            state = (state & ~SELECTED) | ((state & ROW_IS_Y) && row < sensorHeight ? SELECTED : 0u);
            ++p;
            break;
        case Evt3Raw::VECT_12: {
            const auto remaining = end - p;
            if (remaining < VECTOR_GROUP_WORDS) {
                storeState();
                current = p;
                return VECTOR_GROUP_WORDS - static_cast<int>(remaining);
            }
            if (state & SELECTED) {
                const uint16_t vectorBase = payloads[Evt3Raw::VECT_BASE_X];
                const unsigned base = vectorBase & 0x7FF;
                const bool taken =
                    vectorCheck.vectorBaseValid && static_cast<int>(base) + VECTOR_EVENTS <= vectorCheck.width;
                if (!taken) {
                    vectorCheck.vectorBaseValid = false;
                }
                if (base < sensorWidth) {
                    uint32_t mask = 0;
                    if (taken) {
                        mask = uint32_t(p[0].payload()) | (uint32_t(p[1].payload()) << 12) |
                               (uint32_t(p[2].value() & 0xFF) << 24);
                    }
                    if (BLOCK_SIZE - n < VECTOR_EVENTS + 1) {
                        flush();
                    }
                    if constexpr (Count) {
                        tallyAtNow(countBits(mask));
                    } else {
                        // Room for the 32 slots the expansion writes: checked just above.
                        const uint64_t head = uint64_t(FlipX ? sensorWidth - 1 - base : base) |
                                              (uint64_t(row) << 16) | (uint64_t((vectorBase >> 11) & 1u) << 32);
                        n += expandVectorMask<FlipX>(out + n, mask, head, ts);
                    }
                }
                payloads[Evt3Raw::VECT_BASE_X] = static_cast<uint16_t>(vectorBase + VECTOR_EVENTS);
            }
            p += VECTOR_GROUP_WORDS;
            break;
        }
        case Evt3Raw::EXT_TRIGGER:
            if (triggerInCallback) {
                if (n != 0) {
                    flush();
                }
                storeState();
                triggerInCallback(triggerFromWord(payload, ts));
                loadState();
            }
            ++p;
            break;
        case Evt3Raw::OTHERS:
            if (payload == OTHERS_GROUP_SUBTYPE_A || payload == OTHERS_GROUP_SUBTYPE_B) {
                const auto remaining = end - p;
                if (remaining < OTHERS_GROUP_WORDS) {
                    storeState();
                    current = p;
                    return OTHERS_GROUP_WORDS - static_cast<int>(remaining);
                }
                p += OTHERS_GROUP_WORDS;
            } else {
                ++p;
            }
            break;
        case Evt3Raw::ADDR_Y_OTHER:
            payloads[type] = payload;
            state &= ~(ROW_IS_Y | SELECTED);
            ++p;
            break;
        default:
            // Stored types (VECT_8, CONTINUED_4, CONTINUED_12 and the unnamed ones).
            payloads[type] = payload;
            state = (state & ~SELECTED) | ((state & ROW_IS_Y) && row < sensorHeight ? SELECTED : 0u);
            ++p;
            break;
        }
    }
    storeState();
    current = p;
    return 0;
}

bool EVT3Decoder::confirmTimeJump(uint16_t high, uint64_t limit, uint64_t& time) {
    const uint64_t now = lastTimestamp;
    const uint64_t from = now & ~TIME_LOW_MASK;
    uint64_t next = 0;
    // The series goes on while no TIME_HIGH moved the time in between.
    if (jumpWords != 0 && jumpFrom == from && reconstructTime(jumpCandidate, high, limit, next)) {
        if (++jumpWords >= TIME_JUMP_CONFIRM_WORDS) {
            clearTimeJump();
            time = next;
            noteTimeJump(now, next);
            return true;
        }
        jumpCandidate = next;
        return false;
    }
    if (candidateTimestamp < now) {
        clearTimeJump();  // back in time: never taken
        return false;
    }
    jumpWords = 1;
    jumpCandidate = candidateTimestamp;
    jumpFrom = from;
    return false;
}

// Rare: kept out of line so the word loop around its call stays as it is.
__attribute__((noinline)) void EVT3Decoder::refuseTimeHigh(uint16_t high, uint64_t limit) {
    uint64_t time = 0;
    if (confirmTimeJump(high, limit, time)) {
        lastTimestamp = time;
        timeHighSeen = true;
    } else {
        noteAnomaly();
    }
}

void EVT3Decoder::noteTimeJump(uint64_t from, uint64_t to) {
    ++timeJumps;
    // A broken stream may jump again and again: at most one warning a second, the first at once.
    const auto now = std::chrono::steady_clock::now();
    if (!timeJumpWarned || now - lastTimeJumpWarning >= std::chrono::seconds(1)) {
        QN_WARN("DVS timestamp jumped from %llu to %llu (jumps since the last warning: %llu)",
                static_cast<unsigned long long>(from), static_cast<unsigned long long>(to),
                static_cast<unsigned long long>(timeJumps));
        timeJumps = 0;
        timeJumpWarned = true;
        lastTimeJumpWarning = now;
    }
}

void EVT3Decoder::clearTimeJump() {
    jumpWords = 0;
    jumpCandidate = 0;
    jumpFrom = 0;
}

void EVT3Decoder::noteAnomaly() {
    ++anomalyCount;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastAnomalyWarning >= std::chrono::seconds(1)) {
        QN_WARN("DVS timestamp anomalies in the last second: %llu (latest new=%llu, last=%llu)",
                static_cast<unsigned long long>(anomalyCount), static_cast<unsigned long long>(candidateTimestamp),
                static_cast<unsigned long long>(lastTimestamp));
        anomalyCount = 0;
        lastAnomalyWarning = now;
    }
}

bool EVT3Decoder::decodeTimeStamp(void* first, void* last) {
    const auto* begin = static_cast<const uint8_t*>(first);
    const auto* finish = static_cast<const uint8_t*>(last);
    if (begin == nullptr || finish == nullptr || finish < begin) {
        return true;
    }
    const auto* words = reinterpret_cast<const RawEvent*>(begin);
    const size_t count = static_cast<size_t>(finish - begin) / sizeof(RawEvent);
    for (size_t i = 0; i < count; ++i) {
        const uint16_t word = words[i].value();
        const unsigned type = word >> 12;
        const uint16_t payload = word & 0x0FFF;
        if (type == Evt3Raw::TIME_HIGH) {
            uint64_t jumped = 0;
            if (reconstructTime(lastTimestamp, payload, SCAN_TIME_JUMP_LIMIT, candidateTimestamp)) {
                lastTimestamp = candidateTimestamp;
                timeHighSeen = true;
            } else if (confirmTimeJump(payload, SCAN_TIME_JUMP_LIMIT, jumped)) {
                lastTimestamp = jumped;
                timeHighSeen = true;
            } else {
                ++i;  // the word after a rejected TIME_HIGH belongs to the rejected time
            }
        } else if (type == Evt3Raw::TIME_LOW) {
            lastPayload.lastPayload[Evt3Raw::TIME_LOW] = payload;
            const uint64_t time = (lastTimestamp & ~TIME_LOW_MASK) | payload;
            if (time >= lastTimestamp) {
                lastTimestamp = time;
                timeLowSeen = true;
            }
        }
    }
    return true;
}

uint32_t EVT3Decoder::preprocessEventData(void* first, void* last, std::vector<EventTriggerIn>& triggers) {
    const auto* begin = static_cast<const uint8_t*>(first);
    const auto* finish = static_cast<const uint8_t*>(last);
    if (begin == nullptr || finish == nullptr || finish < begin) {
        return 0;
    }
    const auto* words = reinterpret_cast<const RawEvent*>(begin);
    const size_t count = static_cast<size_t>(finish - begin) / sizeof(RawEvent);
    for (size_t i = 0; i < count; ++i) {
        const uint16_t word = words[i].value();
        const unsigned type = word >> 12;
        const uint16_t payload = word & 0x0FFF;
        if (type == Evt3Raw::TIME_HIGH) {
            uint64_t jumped = 0;
            if (reconstructTime(lastTimestamp, payload, SCAN_TIME_JUMP_LIMIT, candidateTimestamp)) {
                lastTimestamp = candidateTimestamp;
                timeHighSeen = true;
            } else if (confirmTimeJump(payload, SCAN_TIME_JUMP_LIMIT, jumped)) {
                lastTimestamp = jumped;
                timeHighSeen = true;
            }
        } else if (type == Evt3Raw::TIME_LOW) {
            lastPayload.lastPayload[Evt3Raw::TIME_LOW] = payload;
            lastTimestamp = (lastTimestamp & ~TIME_LOW_MASK) | payload;
            timeLowSeen = true;
        } else if (type == Evt3Raw::EXT_TRIGGER) {
            const EventTriggerIn trigger = triggerFromWord(payload, lastTimestamp);
            triggers.push_back(trigger);
            QN_INFO("EVT3Decoder::preprocessEventData - Found trigger: id=%d, pol=%d, ts=%llu", trigger.id,
                    trigger.polarity, static_cast<unsigned long long>(trigger.timestamp));
            if (triggerInCallback) {
                triggerInCallback(trigger);
            }
        }
    }
    return static_cast<uint32_t>(count);
}

uint64_t EVT3Decoder::getLastTimeStamp() { return (timeHighSeen && timeLowSeen) ? lastTimestamp : 0; }

void EVT3Decoder::setLastTimeStamp(const uint64_t& timestamp) { lastTimestamp = timestamp; }

uint8_t EVT3Decoder::getRawEventSizeBytes() const { return sizeof(RawEvent); }

uint64_t EVT3Decoder::getDecodeDataBandwidth() {
    std::lock_guard<std::mutex> lock(statsMutex);
    const uint64_t value = bytesCount;
    bytesCount = 0;
    return value;
}

uint64_t EVT3Decoder::getDecodeEventCount() {
    std::lock_guard<std::mutex> lock(statsMutex);
    const uint64_t value = eventsCount;
    eventsCount = 0;
    return value;
}

void EVT3Decoder::setCustomTriggerIn(uint64_t timestamp) {
    std::lock_guard<std::mutex> lock(customTriggerMutex);
    if (timestamp == 0) {
        customTriggerCount = 0;
        customTriggerIn.store(0);
        return;
    }
    auto* const first = customTriggers.data();
    auto* const last = first + customTriggerCount;
    auto* const at = std::lower_bound(first, last, timestamp);
    if (at != last && *at == timestamp) {
        return;
    }
    if (customTriggerCount == CUSTOM_TRIGGER_SLOTS) {
        QN_WARN("Custom trigger at %llu refused: %zu are pending.", static_cast<unsigned long long>(timestamp),
                customTriggerCount);
        return;
    }
    std::copy_backward(at, last, last + 1);
    *at = timestamp;
    ++customTriggerCount;
    customTriggerIn.store(customTriggers[0]);
}

bool EVT3Decoder::takeDueCustomTrigger(uint64_t now) {
    std::lock_guard<std::mutex> lock(customTriggerMutex);
    if (customTriggerCount == 0 || customTriggers[0] > now) {
        return false;
    }
    std::copy(customTriggers.begin() + 1, customTriggers.begin() + static_cast<std::ptrdiff_t>(customTriggerCount),
              customTriggers.begin());
    --customTriggerCount;
    customTriggerIn.store(customTriggerCount != 0 ? customTriggers[0] : 0);
    return true;
}

EVT3Decoder::EVT3DecoderStatus EVT3Decoder::getDecodeStatus() const { return lastPayload; }

void EVT3Decoder::setDecodeStatus(EVT3DecoderStatus status) {
    lastPayload = status;
    // The row comes with the status: a row outside the sensor must not stay selected.
    rowSelected = rowWordIsY && lastPayload.lastPayload[Evt3Raw::ADDR_Y] < height;
    carryWords->clear();
    missingWords = 0;
}

EVT3Decoder::StreamState EVT3Decoder::getStreamState() const {
    StreamState state;
    state.status = lastPayload;
    state.rowSelected = rowSelected;
    state.rowWordIsY = rowWordIsY;
    state.vectorBaseValid = vectorCheck.vectorBaseValid;
    state.timeLowSeen = timeLowSeen;
    state.timeHighSeen = timeHighSeen;
    state.firstTimestampSet = firstTimestampSet;
    state.lastTimestamp = lastTimestamp;
    state.firstTimestamp = firstTimestamp;
    state.carryCount = static_cast<uint8_t>(std::min(carryWords->size(), MAX_GROUP_WORDS));
    for (size_t i = 0; i < state.carryCount; ++i) {
        state.carryWords[i] = (*carryWords)[i].value();
    }
    state.missingWords = missingWords;
    state.resyncNeeds = resyncNeeds;
    state.jumpWords = jumpWords;
    state.jumpCandidate = jumpCandidate;
    state.jumpFrom = jumpFrom;
    return state;
}

void EVT3Decoder::setStreamState(const StreamState& state) {
    lastPayload = state.status;
    rowSelected = state.rowSelected;
    rowWordIsY = state.rowWordIsY;
    vectorCheck.vectorBaseValid = state.vectorBaseValid;
    timeLowSeen = state.timeLowSeen;
    timeHighSeen = state.timeHighSeen;
    firstTimestampSet = state.firstTimestampSet;
    lastTimestamp = state.lastTimestamp;
    firstTimestamp = state.firstTimestamp;
    carryWords->clear();
    const size_t count = std::min<size_t>(state.carryCount, MAX_GROUP_WORDS);
    for (size_t i = 0; i < count; ++i) {
        RawEvent word;
        std::memcpy(word.bytes, &state.carryWords[i], sizeof(word.bytes));
        carryWords->push_back(word);
    }
    // A carried group needs its first word; without one there is nothing to complete.
    missingWords = count == 0 ? 0 : state.missingWords;
    resyncNeeds = state.resyncNeeds & (NEED_TIME_HIGH | NEED_TIME_LOW | NEED_ROW);
    jumpWords = std::min<uint8_t>(state.jumpWords, TIME_JUMP_CONFIRM_WORDS - 1);
    jumpCandidate = state.jumpCandidate;
    jumpFrom = state.jumpFrom;
}

void EVT3Decoder::deliverEvents(Event2D* first, size_t count) {
    eventsThisCall += count;
    {
        std::lock_guard<std::mutex> lock(statsMutex);
        eventsCount += count;
    }
    if (eventsStreamHandleCallback) {
        eventsStreamHandleCallback(first, first + count);
    }
}

void EVT3Decoder::addEvent2Buffer(std::shared_ptr<std::vector<Event2D>> block) {
    deliverEvents(block->data(), block->size());
    if (sharedEventsStreamHandleCallback) {
        sharedEventsStreamHandleCallback(block);
    }
}

std::shared_ptr<std::vector<Event2D>> EVT3Decoder::acquireDecodedEventsBuffer() {
    auto block = blockPool->acquire(BLOCK_SIZE);
    block->clear();
    return block;
}

uint64_t EVT3Decoder::getFirstTimeStamp() const {
    return (firstTimestampSet && timeLowSeen && timeHighSeen) ? firstTimestamp : 0;
}

void EVT3Decoder::reset() {
    lastTimestamp = 0;
    firstTimestamp = 0;
    firstTimestampSet = false;
    timeLowSeen = false;
    timeHighSeen = false;
    missingWords = 0;
    eventsThisCall = 0;
    rowSelected = false;
    rowWordIsY = false;
    carryWords->clear();
    lastPayload = EVT3DecoderStatus();
    resyncNeeds = 0;
    clearTimeJump();
}

} // namespace quelnor
