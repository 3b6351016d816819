#pragma once

// What failure handling raises and lowers: the tray notification (upper layer's view) and the
// status listener. Implemented by the core, which owns both.
class SignalTarget {
  public:
    virtual ~SignalTarget() = default;
    virtual void NotifyON() = 0;
    virtual void NotifyOFF() = 0;
    virtual void closeStatusListener() = 0;
    virtual void openStatusListener() = 0; // may throw RuntimeError
};
