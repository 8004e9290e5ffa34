// Slows the guessing of tokens: an address that gave a wrong token `limit` times within
// `windowS` seconds is refused (429 with Retry-After) for `lockS` seconds, whatever it sends.
// Bounded in memory: the addresses it remembers are few, and the oldest go first.
#pragma once

#include <QHash>
#include <QHostAddress>

#include <chrono>

namespace zurid::serve {

class Lockout {
  public:
    using Clock = std::chrono::steady_clock;

    int limit = 5;
    int windowS = 60;
    int lockS = 60;
    int remembered = 4096; // addresses at most

    // Seconds until the address may try again; 0 when it may now.
    int lockedFor(const QHostAddress& peer, Clock::time_point now = Clock::now()) const;
    // Counts a wrong token; true when this one locks the address out.
    bool failed(const QHostAddress& peer, Clock::time_point now = Clock::now());

  private:
    struct Entry {
        Clock::time_point first; // of the failures in the current window
        int failures = 0;
        Clock::time_point lockedUntil{};
    };
    void forgetOld(Clock::time_point now);

    QHash<QHostAddress, Entry> entries_;
};

} // namespace zurid::serve
