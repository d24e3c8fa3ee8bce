#pragma once

class QObject;

namespace rt {

// Holds what a screen reader hears of a changing control to at most four
// value, description and name changes a second for each control. A copy sets
// the bar and the captions hundreds of times a second, and a reader given
// every change falls behind and speaks none; the newest change is passed on
// at the end of its quarter second, or at once when a message shows or the
// focus moves, so that what the window says next is heard after it. A list
// tells focus only while it has it (or is the drop-down of a box that has
// it). Other events pass at once.
void paceAccessibleEvents();

// What a screen reader hears of a caption that goes with a value (the copy's
// figures with its bar): its text changes are held until the value's change
// is passed on, and then passed on all together with it, after the turn in
// which the value was set, so they read the figures set with it.
void describeWithValue(QObject *caption, QObject *value);

} // namespace rt
