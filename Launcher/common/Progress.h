// What a transfer reports to while it runs, so that it never needs to know
// who shows the progress (the window, or nothing in a test).
#pragma once

#include <cstdint>

class Progress {
public:
    // Bytes of a file's body that have just arrived.
    virtual void Received(uint32_t bytes) = 0;
    // Lets the user interface catch up; false once the run is cancelled, and
    // from then on.
    virtual bool Pump() = 0;

protected:
    ~Progress() = default;
};

// Waits, answering the user interface meanwhile; false once the run is
// cancelled (at once, not at the end of the wait).
bool WaitAnswering(Progress& progress, uint32_t milliseconds);
