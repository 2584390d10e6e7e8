// The --baud option of the commands that set a line's speed.
#pragma once

#include <CLI/CLI.hpp>

namespace rdr {

// Accepts a positive whole number of bits per second that fits an int32;
// anything else gets a message that says what a speed looks like.
CLI::Validator LineSpeed();

}  // namespace rdr
