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
    return TakeTexts(nowMs, show, false);
  }

  // Take for a front end that goes on taking by its own clock while texts keep coming (telling
  // it costs a worker a call into the window system, each time): when it shows any text the
  // notice stays outstanding, so the workers do not tell again, and the caller must take again
  // (TakeWhileComing or Take) about HAND_OVER_INTERVAL_MS later. When nothing was stored it
  // clears the notice and returns 0: the caller stops, and the next Store tells it.
  template <class Show>
  int TakeWhileComing(long long nowMs, Show show) {
    return TakeTexts(nowMs, show, true);
  }

  // Clears the outstanding notice, taking nothing: telling failed (a lost post) or the caller
  // cannot take again on time, so the next Store tells again.
  void NoticeLost();

 private:
  template <class Show>
  int TakeTexts(long long nowMs, Show show, bool keepNoticeIfShown) {
    Slot taken[SLOTS];
    int count = 0;
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (Slot& slot : slots) {
        if (!slot.pending) continue;
        taken[count++] = slot;
        slot.pending = false;
      }
      noticed = keepNoticeIfShown && count > 0;
      lastTakeMs = nowMs;
    }
    for (int i = 0; i < count; ++i) show(taken[i].id, taken[i].text);
    return count;
  }

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
