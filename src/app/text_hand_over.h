// The rule by which a worker hands control texts to a front end's own thread without waiting.
#pragma once

#include <mutex>

#include "base/text.h"

// Why: showing a text costs the front end's thread a paint (on Windows the worker's
// SetWindowText is a message sent to the window's thread and waited for), and a worker that
// waited for it would leave the device idle. So the worker only keeps the latest text of each
// control here and returns; the front end's thread shows whatever is latest, at most once each
// HAND_OVER_INTERVAL_MS (a text on screen for less than that may never be seen), and at once
// before it does anything else the worker asks of it. Order is kept because every text is shown
// by that one thread, always the latest stored: a box or an enabled control never appears beside
// an older text, and a late hand-over can never put back a text older than one already shown.
constexpr int HAND_OVER_INTERVAL_MS = 30;

class CTextHandOver {
 public:
  // Keeps `text` (copied, cut to TEXT_CAPACITY) as the latest text of control `id`, replacing one
  // not yet shown. Returns true when the front end's thread has to be told (no notice is
  // outstanding since its last Take); the caller then tells it once, without waiting.
  bool Store(int id, const WChar* text);

  // Milliseconds until the texts may be shown again, counted from the last Take; 0 when due now.
  // `nowMs` is any monotonic millisecond clock, the same at every call.
  int WaitMs(long long nowMs);

  // Takes the texts stored since the last Take, clears the outstanding notice, and calls
  // show(id, text) for each on the caller's thread, outside the lock; the texts live until it
  // returns. Returns how many it showed.
  template <class Show>
  int Take(long long nowMs, Show show) {
    Slot taken[SLOTS];
    int count = 0;
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (Slot& slot : slots) {
        if (!slot.pending) continue;
        taken[count++] = slot;
        slot.pending = false;
      }
      noticed = false;
      lastTakeMs = nowMs;
    }
    for (int i = 0; i < count; ++i) show(taken[i].id, taken[i].text);
    return count;
  }

 private:
  static constexpr int SLOTS = 8;  // more than the window has controls
  struct Slot {
    int id = 0;
    bool pending = false;
    WChar text[TEXT_CAPACITY] = {};
  };
  std::mutex mutex;
  Slot slots[SLOTS];
  bool noticed = false;
  // Far enough back that the first showing is due at once, whatever the clock reads.
  long long lastTakeMs = -(1LL << 62);
};
