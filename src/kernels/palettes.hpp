// The ON/OFF colours of the recording page and its video: per palette and
// background ("dark", "light") the background colour and the colours of a fully
// lit ON and OFF pixel (RGB, 0-255); a frame blends them by the tone-mapped
// levels (docs/recording-document.md). "okabe-ito" is safe for the common
// colour-vision deficiencies. The one table: Python reads it from the native
// module and gives it to the page. No Python here.
#pragma once

#include <cstdint>

namespace zv::kern {

struct PaletteColours {
    uint8_t background[3], on[3], off[3];
};

struct NamedPalette {
    const char* name;
    PaletteColours dark, light;
};

inline constexpr NamedPalette kPalettes[] = {
    {"blue-red", {{12, 14, 20}, {80, 170, 255}, {255, 84, 64}}, {{255, 255, 255}, {0, 92, 204}, {204, 32, 24}}},
    {"okabe-ito", {{12, 14, 20}, {86, 180, 233}, {230, 159, 0}}, {{255, 255, 255}, {0, 114, 178}, {213, 94, 0}}},
    {"grey", {{12, 14, 20}, {255, 255, 255}, {120, 120, 128}}, {{255, 255, 255}, {0, 0, 0}, {150, 150, 150}}},
};

}  // namespace zv::kern
