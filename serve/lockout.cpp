#include "serve/lockout.h"

#include <cmath>

namespace zurid::serve {

int Lockout::lockedFor(const QHostAddress& peer, Clock::time_point now) const {
    const auto it = entries_.constFind(peer);
    if (it == entries_.constEnd() || it->lockedUntil <= now) {
        return 0;
    }
    const std::chrono::duration<double> left = it->lockedUntil - now;
    return static_cast<int>(std::ceil(left.count()));
}

bool Lockout::failed(const QHostAddress& peer, Clock::time_point now) {
    if (!entries_.contains(peer) && entries_.size() >= remembered) {
        forgetOld(now);
    }
    Entry& e = entries_[peer];
    if (e.failures == 0 || now - e.first > std::chrono::seconds(windowS)) {
        e.first = now;
        e.failures = 0;
    }
    ++e.failures;
    if (e.failures < limit || e.lockedUntil > now) {
        return false;
    }
    e.lockedUntil = now + std::chrono::seconds(lockS);
    e.failures = 0;
    return true;
}

// Drops what no longer counts; if every address still counts, the one whose window began
// first.
void Lockout::forgetOld(Clock::time_point now) {
    for (auto it = entries_.begin(); it != entries_.end();) {
        const bool stale =
            it->lockedUntil <= now && now - it->first > std::chrono::seconds(windowS);
        it = stale ? entries_.erase(it) : std::next(it);
    }
    if (entries_.size() < remembered) {
        return;
    }
    auto oldest = entries_.begin();
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->lockedUntil <= now && it->first < oldest->first) {
            oldest = it;
        }
    }
    entries_.erase(oldest);
}

} // namespace zurid::serve
