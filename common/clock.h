#pragma once

#include <QDateTime>

#include <functional>

// The one source of "now" for date-dependent rules (daily log file, upgrade postponement), so
// that tests can move the date without waiting for midnight.
namespace Clock {

// Local date and time.
QDateTime now();

// Replaces the system clock; an empty function restores it. Meant for tests only.
void setNowForTesting(std::function<QDateTime()> source);

} // namespace Clock
