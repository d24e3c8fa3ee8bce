#pragma once

namespace rt {

// What a screen reader hears of the window's own controls beyond their names;
// installed once, before the window is built.
void installAccessibility();

} // namespace rt
