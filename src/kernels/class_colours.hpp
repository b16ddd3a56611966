// Box outline colours by class id (labels solid, predictions dashed): the one
// table the video writer, the recording page and the network page draw with.
// tools/build_pages.py writes it into the pages' script; the video writer reads
// it from the native module. Class ids wrap around its length. No Python here.
#pragma once

#include <cstdint>

namespace zv::kern {

inline constexpr uint8_t kClassColours[][3] = {
    {255, 212, 0},   {0, 229, 255},   {255, 79, 216}, {124, 255, 79},
    {255, 140, 26},  {182, 140, 255}, {255, 255, 255}, {79, 140, 255},
};

}  // namespace zv::kern
