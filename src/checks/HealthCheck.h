#pragma once

#include "checks/HealthCheckSpec.h"
#include "checks/HealthState.h"
#include "platform/Clock.h"

#include <QObject>

class HealthProbe;

// One task's health check. Armed at each launch, it waits check_grace, then probes every
// check_interval, one probe at a time: a probe still running when the next is due delays it. A
// probe that has not answered within check_timeout fails and is ended. check_retries failures in a
// row make the task unhealthy, reported once for the episode; a passing check ends it.
class HealthCheck final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HealthCheck)

  public:
    explicit HealthCheck(HealthCheckSpec definition, Clock& clock = Clock::system(),
                         QObject* parent = nullptr);
    ~HealthCheck() override;

    // A launch: the failures in a row and the unhealthy state start again; checks resume after
    // the grace period.
    void arm();
    // No more checks (the task ended or is being closed); a running probe is ended.
    void disarm();

    const HealthCheckSpec& definition() const { return definition_; }
    const HealthState& state() const { return state_; }
    bool probing() const { return probe_ != nullptr; }

  Q_SIGNALS:
    // Every probe's result has been counted in state().
    void checked();
    // check_retries checks in a row failed; reason is the last one's.
    void unhealthy(const QString& reason);
    // A check passed after the task was unhealthy.
    void healthy();

  private:
    void due();
    void startProbe();
    void timedOut();
    void count(const QString& failure);

    const HealthCheckSpec definition_;
    ClockTimer schedule_; // the grace, then every interval
    ClockTimer timeout_;
    HealthProbe* probe_ = nullptr;
    bool overdue_ = false; // the interval passed while a probe ran
    HealthState state_;
};
