// Where a transfer puts a body, so that the transfer never decides where or
// how bytes land (a plain file, or a staged copy digested as it is written).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// What the server answered, as far as a sink cares.
struct Answer {
    // The body continues the first `offset` bytes the sink already holds (a
    // resumed request); 0: the body from its start.
    uint64_t offset = 0;
    // What identifies the body for a later resume (ETag, else
    // Last-Modified); "" when the server gave nothing.
    std::wstring validator;
};

class ByteSink {
public:
    // Called once the server has answered, before the first block; false
    // ends the transfer (the sink has logged why).
    virtual bool Open(const Answer& answer) = 0;
    // One block of the body; false ends the transfer (the sink has logged why).
    virtual bool Write(const BYTE* data, DWORD count) = 0;

protected:
    ~ByteSink() = default;
};
