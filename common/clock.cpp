#include "clock.h"

namespace {
std::function<QDateTime()> &nowOverride() {
    static std::function<QDateTime()> source;
    return source;
}
} // namespace

namespace Clock {

QDateTime now() {
    const std::function<QDateTime()> &source = nowOverride();
    return source ? source() : QDateTime::currentDateTime();
}

void setNowForTesting(std::function<QDateTime()> source) {
    nowOverride() = std::move(source);
}

} // namespace Clock
