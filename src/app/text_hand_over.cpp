// The latest control texts between a worker and a front end's own thread.
#include "app/text_hand_over.h"

bool CTextHandOver::Store(int id, const WChar* text) {
  std::lock_guard<std::mutex> lock(mutex);
  Slot* free = nullptr;
  Slot* mine = nullptr;
  for (Slot& slot : slots) {
    if (slot.pending && slot.id == id) mine = &slot;
    if (!slot.pending && free == nullptr) free = &slot;
  }
  if (mine == nullptr) mine = free;
  // Every slot holds another control's text: cannot happen with the window's controls.
  if (mine == nullptr) return false;
  mine->id = id;
  mine->pending = true;
  CopyText(mine->text, TEXT_CAPACITY, text);
  if (noticed) return false;
  noticed = true;
  return true;
}

int CTextHandOver::WaitMs(long long nowMs) {
  std::lock_guard<std::mutex> lock(mutex);
  long long wait = lastTakeMs + HAND_OVER_INTERVAL_MS - nowMs;
  return wait > 0 ? static_cast<int>(wait) : 0;
}

void CTextHandOver::NoticeLost() {
  std::lock_guard<std::mutex> lock(mutex);
  noticed = false;
}
