// Listener.h - CListener, one listening TCP socket and its fixed pool of worker threads.
#pragma once

class CListener {
public:
    virtual ~CListener() = default;
};
