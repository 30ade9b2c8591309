// Where a transfer puts a body, so that the transfer never decides where or
// how bytes land (a plain file, or a staged copy digested as it is written).
#pragma once

#include <windows.h>

class ByteSink {
public:
    // Called once the server has answered, before the first block; false
    // ends the transfer (the sink has logged why).
    virtual bool Open() = 0;
    // One block of the body; false ends the transfer (the sink has logged why).
    virtual bool Write(const BYTE* data, DWORD count) = 0;

protected:
    ~ByteSink() = default;
};
