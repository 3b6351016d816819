#pragma once

#include <QString>

// What the system says of a task's process: it runs, or it has ended, with the wait status when
// this monitor reaped it (a process it did not start, or one reaped elsewhere, ends unknown).
class ProcessStatus final {
  public:
    static ProcessStatus running() { return ProcessStatus(State::Running, 0); }
    static ProcessStatus ended(int waitStatus) { return ProcessStatus(State::Ended, waitStatus); }
    static ProcessStatus endedUnknown() { return ProcessStatus(State::Unknown, 0); }

    bool isRunning() const { return state_ == State::Running; }
    bool hasEnded() const { return state_ != State::Running; }
    bool known() const { return state_ == State::Ended; }

    // As waitpid() gives it; meaningful only when known().
    int waitStatus() const { return waitStatus_; }
    // The exit code, or -1 when the process did not exit by itself (or is not known to have).
    int exitCode() const;
    // The signal that ended it, or 0.
    int signal() const;

    // "exited with status N", "killed by signal N (SIGNAME)", "killed by signal N (SIGNAME), core
    // dumped" or "unknown (not started by this monitor)"; empty while it runs.
    QString exitText() const;

    friend bool operator==(const ProcessStatus&, const ProcessStatus&) = default;

  private:
    enum class State { Running, Ended, Unknown };
    ProcessStatus(State state, int waitStatus) : state_(state), waitStatus_(waitStatus) {}

    State state_;
    int waitStatus_;
};
