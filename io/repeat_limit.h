// Lines that come in bursts - a failure on every pass, a flood of
// announcements, a refusal on every retry - logged as their first line and
// then counts. C++ only; not installed.
//
// The first occurrence of a kind is logged in full. Those that follow are
// counted, and the count goes out in a line of its own a second after the
// last line of the kind, or once they stop; while they keep coming the wait
// doubles, up to a minute, so a condition that lasts costs a line a minute.
// A kind that has been quiet for two seconds starts afresh: its next line is
// logged in full.
#pragma once

class repeat_limit {
  public:
    // Writes the count line of the lines left out (more than none) of the
    // limit made with kind.
    using reporter = void (*)(unsigned left_out, int kind);

    // A limit whose owner reports its counts (take_left_out).
    repeat_limit() = default;
    // A limit whose counts the daemon's loop reports through report, with
    // every other such limit (report_every_due).
    repeat_limit(reporter report, int kind) : report_(report), kind_(kind), next_(registered) {
        registered = this;
    }
    repeat_limit(const repeat_limit &) = delete;
    repeat_limit &operator=(const repeat_limit &) = delete;

    // Whether the line of an occurrence at now_ms goes out in full; when
    // not, it is counted. A count that is due goes out first: through the
    // reporter, or, without one, taken by the owner before it asks.
    bool admit(long now_ms) {
        if (const unsigned count = report_ != nullptr ? take_left_out(now_ms) : 0) {
            report_(count, kind_);
        }
        const bool fresh = period_ms_ == 0 || now_ms - last_ms_ >= quiet_ms;
        last_ms_ = now_ms;
        if (!fresh) {
            ++left_out_;
            return false;
        }
        period_ms_ = first_period_ms;
        reported_ms_ = now_ms;
        return true;
    }

    // The count of the lines left out when it is due (or, forced, whenever
    // there is one), which is then reported and forgotten; 0 otherwise.
    unsigned take_left_out(long now_ms, bool forced = false) {
        if (left_out_ == 0 || (!forced && due_in_ms(now_ms) > 0)) {
            return 0;
        }
        const unsigned count = left_out_;
        left_out_ = 0;
        reported_ms_ = now_ms;
        period_ms_ = period_ms_ * 2 < longest_period_ms ? period_ms_ * 2 : longest_period_ms;
        return count;
    }

    // Milliseconds until a count is due (0: now), or -1 while none is kept:
    // a period after the last line of the kind, or once the kind is quiet.
    long due_in_ms(long now_ms) const {
        if (left_out_ == 0) {
            return -1;
        }
        const long period_end = reported_ms_ + period_ms_;
        const long quiet = last_ms_ + quiet_ms;
        const long due = (period_end < quiet ? period_end : quiet) - now_ms;
        return due > 0 ? due : 0;
    }

    // Reports the due counts of the limits made with a reporter (all of
    // them, forced: before the daemon ends), and gives the milliseconds until
    // the next one is due, or -1 for none.
    static long report_every_due(long now_ms, bool forced = false) {
        long next = -1;
        for (repeat_limit *limit = registered; limit != nullptr; limit = limit->next_) {
            if (const unsigned count = limit->take_left_out(now_ms, forced)) {
                limit->report_(count, limit->kind_);
            }
            const long due = limit->due_in_ms(now_ms);
            next = due >= 0 && (next < 0 || due < next) ? due : next;
        }
        return next;
    }

  private:
    static constexpr long first_period_ms = 1000;
    static constexpr long longest_period_ms = 60000;
    // Longer than the second between retries of a refused Set, which is
    // one condition that lasts, not a new one each time.
    static constexpr long quiet_ms = 2000;

    inline static repeat_limit *registered = nullptr;

    reporter report_ = nullptr;
    int kind_ = 0;
    repeat_limit *next_ = nullptr;
    long period_ms_ = 0;  // 0: no line of the kind yet
    long reported_ms_ = 0;
    long last_ms_ = 0;
    unsigned left_out_ = 0;
};
