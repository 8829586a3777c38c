// The timeline of the converted movie: its timescale, that of the MPEG system clock, so that
// the video's times are written as the stream gives them.
#pragma once

#include <cstdint>

#include "ts_parser/clock.hpp"

namespace plexo::mp4w {

inline constexpr std::uint32_t kMovieTimescale = 90000;

}  // namespace plexo::mp4w
