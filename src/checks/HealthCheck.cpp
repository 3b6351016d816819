#include "checks/HealthCheck.h"

#include "checks/HealthProbe.h"

#include <utility>

HealthCheck::HealthCheck(HealthCheckSpec definition, Clock& clock, QObject* parent)
    : QObject(parent), definition_(std::move(definition)), schedule_(clock), timeout_(clock) {
    state_.configured = true;
    // A coarse timer may fire a twentieth of the interval late: detection would drift by that.
    schedule_.setTimerType(Qt::PreciseTimer);
    timeout_.setTimerType(Qt::PreciseTimer);
    timeout_.setSingleShot(true);
    connect(&schedule_, &ClockTimer::timeout, this, &HealthCheck::due);
    connect(&timeout_, &ClockTimer::timeout, this, &HealthCheck::timedOut);
}

HealthCheck::~HealthCheck() {
    disarm();
}

void HealthCheck::arm() {
    disarm();
    state_.unhealthy = false;
    state_.failuresInRow = 0;
    schedule_.setSingleShot(true);
    schedule_.start(static_cast<int>(definition_.graceMs));
}

void HealthCheck::disarm() {
    schedule_.stop();
    timeout_.stop();
    overdue_ = false;
    if (probe_ != nullptr) {
        probe_->disconnect(this);
        std::exchange(probe_, nullptr)->cancel();
    }
}

void HealthCheck::due() {
    if (schedule_.isSingleShot()) { // the grace has passed
        schedule_.setSingleShot(false);
        schedule_.start(static_cast<int>(definition_.intervalMs));
    }
    if (probe_ != nullptr)
        overdue_ = true;
    else
        startProbe();
}

void HealthCheck::startProbe() {
    overdue_ = false;
    probe_ = HealthProbe::create(definition_);
    // A cancelled probe deletes itself once its process has gone; should the check go first (the
    // monitor ends), the probe goes with it, and kills what is left of its session.
    probe_->setParent(this);
    connect(probe_, &HealthProbe::finished, this, [this](const QString& failure) {
        probe_ = nullptr;
        timeout_.stop();
        count(failure);
    });
    timeout_.start(static_cast<int>(definition_.timeoutMs));
    probe_->begin();
}

void HealthCheck::timedOut() {
    if (probe_ == nullptr)
        return;
    probe_->disconnect(this);
    std::exchange(probe_, nullptr)->cancel();
    count(QStringLiteral("timed out after ") + secondsText(definition_.timeoutMs));
}

void HealthCheck::count(const QString& failure) {
    bool becameUnhealthy = false;
    bool becameHealthy = false;
    if (failure.isEmpty()) {
        state_.failuresInRow = 0;
        becameHealthy = std::exchange(state_.unhealthy, false);
    } else {
        ++state_.failuresInRow;
        ++state_.failuresTotal;
        state_.lastReason = failure;
        if (!state_.unhealthy && state_.failuresInRow >= static_cast<quint32>(definition_.retries))
            becameUnhealthy = state_.unhealthy = true;
    }
    Q_EMIT checked();
    if (becameUnhealthy)
        Q_EMIT unhealthy(failure);
    else if (becameHealthy)
        Q_EMIT healthy();
    // The next probe is due already when this one took longer than the interval (and the check
    // is still armed: a handler above may have disarmed it).
    if (overdue_ && schedule_.isActive() && probe_ == nullptr)
        startProbe();
}
