// The one entry point every fuzz target defines, called by libFuzzer or by
// replay_main.cpp with one input in a heap block of exactly size bytes.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);
