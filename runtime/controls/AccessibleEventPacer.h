#pragma once

namespace rt {

// Holds what a screen reader hears of a changing control to at most four
// value, description and name changes a second for each control. A copy sets
// the bar and the captions hundreds of times a second, and a reader given
// every change falls behind and speaks none; the newest change is passed on
// at the end of its quarter second. Other events pass at once.
void paceAccessibleEvents();

} // namespace rt
