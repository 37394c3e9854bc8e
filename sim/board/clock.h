#pragma once
// How a peripheral learns the simulated time at a register access: the board's clock.

#include <functional>

#include "sim/peripheral.h"

namespace vesk::sim::board {

using Clock = std::function<SimTime()>;

}  // namespace vesk::sim::board
