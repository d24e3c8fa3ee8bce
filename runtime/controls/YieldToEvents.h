#pragma once

namespace rt {

// Runs every pending window event, clicks included, then returns.
void yieldToEvents();

} // namespace rt
