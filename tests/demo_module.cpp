#include "demo_module.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

namespace {

// ProTracker module layout: a 20-byte title, 31 sample headers of 30 bytes,
// the song length, a restart byte, the 128-entry order table and the tag
// "M.K." at offset 1080; then the patterns, then the samples' data.
constexpr size_t TitleSize = 20;
constexpr size_t SampleNameSize = 22;
constexpr size_t SampleCount = 31;
constexpr size_t OrderTableSize = 128;
constexpr size_t Rows = 64;
constexpr size_t Channels = 4;
constexpr size_t CellSize = 4;
constexpr size_t PatternSize = Rows * Channels * CellSize;

// Amiga periods of the notes used, from the ProTracker table at finetune 0.
// The lead's one-cycle sample makes C-2 sound as middle C; the bass's cycle
// is twice as long, an octave lower.
constexpr uint16_t G1 = 570;
constexpr uint16_t C2 = 428;
constexpr uint16_t D2 = 381;
constexpr uint16_t E2 = 339;
constexpr uint16_t F2 = 320;
constexpr uint16_t G2 = 285;

constexpr uint8_t LeadSample = 1;
constexpr uint8_t BassSample = 2;
constexpr size_t LeadChannel = 0;
constexpr size_t BassChannel = 1;

// Effects: Fxx sets the speed (ticks per row, below 0x20) or the tempo (BPM,
// 0x20 and above); ECx cuts the note at tick x of the row.
constexpr uint8_t EffectSetSpeed = 0xF;
constexpr uint8_t EffectExtended = 0xE;
constexpr uint8_t NoteCutAtTick4 = 0xC4;

struct TNote {
    uint16_t Period;
    size_t Rows; // at speed 6, 4 rows make a crotchet
};
using TLine = std::vector<TNote>;

struct TPattern {
    TLine Lead;
    TLine Bass;
};

// 16 rows to the bar, 4 bars to a pattern. The song plays 0, 1, 2, 1: the
// theme, the theme closing on the tonic, the middle phrase, the theme again.
const TPattern Patterns[] = {
    {{{E2, 4},
      {E2, 4},
      {F2, 4},
      {G2, 4},
      {G2, 4},
      {F2, 4},
      {E2, 4},
      {D2, 4},
      {C2, 4},
      {C2, 4},
      {D2, 4},
      {E2, 4},
      {E2, 6},
      {D2, 2},
      {D2, 8}},
     {{C2, 8}, {C2, 8}, {G1, 8}, {G1, 8}, {C2, 8}, {C2, 8}, {G1, 8}, {G1, 8}}},
    {{{E2, 4},
      {E2, 4},
      {F2, 4},
      {G2, 4},
      {G2, 4},
      {F2, 4},
      {E2, 4},
      {D2, 4},
      {C2, 4},
      {C2, 4},
      {D2, 4},
      {E2, 4},
      {D2, 6},
      {C2, 2},
      {C2, 8}},
     {{C2, 8}, {C2, 8}, {G1, 8}, {G1, 8}, {C2, 8}, {C2, 8}, {G1, 8}, {C2, 8}}},
    {{{D2, 4},
      {D2, 4},
      {E2, 4},
      {C2, 4},
      {D2, 4},
      {E2, 2},
      {F2, 2},
      {E2, 4},
      {C2, 4},
      {D2, 4},
      {E2, 2},
      {F2, 2},
      {E2, 4},
      {D2, 4},
      {C2, 4},
      {D2, 4},
      {G1, 8}},
     {{G1, 8}, {C2, 8}, {G1, 8}, {C2, 8}, {G1, 8}, {G1, 8}, {C2, 8}, {G1, 8}}},
};
const uint8_t Song[] = {0, 1, 2, 1};

struct TSample {
    const char* Name;
    TBytes Data; // 8-bit signed, an even number of bytes
    uint8_t Volume;
    bool Looped; // loops over the whole sample
};

// One cycle of a square wave, 32 bytes, at half amplitude.
TBytes SquareCycle() {
    TBytes data(32);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i < 16 ? 64 : -64);
    return data;
}

// One cycle of a triangle wave, 64 bytes: up from -120 to 120, then down.
TBytes TriangleCycle() {
    TBytes data(64);
    for (size_t i = 0; i < data.size(); ++i) {
        int step = static_cast<int>(i % 32);
        int value = i < 32 ? -120 + step * 240 / 31 : 120 - step * 240 / 31;
        data[i] = static_cast<uint8_t>(static_cast<int8_t>(value));
    }
    return data;
}

void AppendU16BigEndian(TBytes& out, size_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

void AppendText(TBytes& out, const std::string& text, size_t width) {
    TBytes field(width, 0);
    for (size_t i = 0; i < text.size() && i < width; ++i)
        field[i] = static_cast<uint8_t>(text[i]);
    out.insert(out.end(), field.begin(), field.end());
}

// A sample header: name, length in words, finetune, volume, loop start and
// loop length in words. A sample without a loop has loop length 1.
void AppendSampleHeader(TBytes& out, const TSample& sample) {
    size_t words = sample.Data.size() / 2;
    AppendText(out, sample.Name, SampleNameSize);
    AppendU16BigEndian(out, words);
    out.push_back(0); // finetune 0
    out.push_back(sample.Volume);
    AppendU16BigEndian(out, 0);
    AppendU16BigEndian(out, sample.Looped ? words : 1);
}

// A cell holds the sample number split over two nibbles, the 12-bit period,
// the effect and its parameter.
void PutCell(TBytes& pattern, size_t row, size_t channel, uint8_t sample, uint16_t period,
             uint8_t effect, uint8_t parameter) {
    size_t at = (row * Channels + channel) * CellSize;
    pattern[at] = static_cast<uint8_t>((sample & 0xF0) | ((period >> 8) & 0x0F));
    pattern[at + 1] = static_cast<uint8_t>(period & 0xFF);
    pattern[at + 2] = static_cast<uint8_t>(((sample & 0x0F) << 4) | (effect & 0x0F));
    pattern[at + 3] = parameter;
}

// Each note starts on its first row and is cut late in its last row, so
// that repeated notes are heard as separate notes.
void PutLine(TBytes& pattern, size_t channel, uint8_t sample, const TLine& line) {
    size_t row = 0;
    for (const TNote& note : line) {
        PutCell(pattern, row, channel, sample, note.Period, 0, 0);
        PutCell(pattern, row + note.Rows - 1, channel, 0, 0, EffectExtended, NoteCutAtTick4);
        row += note.Rows;
    }
}

} // namespace

TBytes DemoModule() {
    const TSample samples[] = {
        {"square lead", SquareCycle(), 32, true},
        {"triangle bass", TriangleCycle(), 64, true},
        {"Ode to Joy, Beethoven", {}, 0, false},
        {"written by Tessaril", {}, 0, false},
    };

    TBytes out;
    AppendText(out, "Tessaril demo", TitleSize);
    for (size_t i = 0; i < SampleCount; ++i)
        AppendSampleHeader(out, i < std::size(samples) ? samples[i] : TSample{"", {}, 0, false});
    out.push_back(static_cast<uint8_t>(std::size(Song)));
    out.push_back(0x7F); // restart byte as ProTracker writes it
    TBytes order(OrderTableSize, 0);
    std::copy(std::begin(Song), std::end(Song), order.begin());
    out.insert(out.end(), order.begin(), order.end());
    AppendText(out, "M.K.", 4);

    for (size_t p = 0; p < std::size(Patterns); ++p) {
        TBytes pattern(PatternSize, 0);
        PutLine(pattern, LeadChannel, LeadSample, Patterns[p].Lead);
        PutLine(pattern, BassChannel, BassSample, Patterns[p].Bass);
        if (p == 0) {
            // Speed 6 at 125 BPM, stated rather than left to the player.
            PutCell(pattern, 0, 2, 0, 0, EffectSetSpeed, 6);
            PutCell(pattern, 0, 3, 0, 0, EffectSetSpeed, 125);
        }
        out.insert(out.end(), pattern.begin(), pattern.end());
    }
    for (const TSample& sample : samples)
        out.insert(out.end(), sample.Data.begin(), sample.Data.end());
    return out;
}

TBytes DemoPackage() {
    TPackageSpec spec = MusicPackageSpec(69, "mod", {{DemoTuneName, DemoModule()}});
    // Music packages as games ship them carry the download flag.
    spec.PackageFlags = 0x0001;
    return BuildPackage(spec);
}
