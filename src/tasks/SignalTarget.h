#pragma once

// What failure handling asks of the layer above, which owns the tray notification (through its
// view), the status listener, the shutdown state and the mail. Implemented by the core.
class SignalTarget {
  public:
    virtual ~SignalTarget() = default;
    virtual void NotifyON() = 0;
    virtual void NotifyOFF() = 0;
    virtual void closeStatusListener() = 0;
    virtual void openStatusListener() = 0; // may throw RuntimeError
    // Shutdown has begun: no more restarts.
    virtual bool closing() const = 0;
    // Queues the failure alert of task p and returns; the mail goes out in the background.
    virtual void SendFailureAlert(int p) = 0;
};
