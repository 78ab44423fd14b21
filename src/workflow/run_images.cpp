// The store of the run's images, the fetch-and-check of one image, and the prefetch.
#include "workflow/run_images.h"

#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "app/app_state.h"
#include "files/download.h"
#include "files/publication_record.h"
#include "files/update_file.h"
#include "workflow/publication_check.h"

namespace {

enum SlotState { SLOT_MISSING, SLOT_FETCHING, SLOT_READY };

struct Slot {
  SlotState state = SLOT_MISSING;
  uint8_t* image = nullptr;
  int length = 0;
  bool wanted = false;  // by the run, once it has claimed the images
  bool tried = false;   // by the prefetch: it tries each image once
};

struct Store {
  std::mutex mutex;
  std::condition_variable changed;
  Slot slots[MAX_CATALOGUE_ENTRIES];
  bool offered = false;
  bool claimed = false;  // by the run: the prefetch takes nothing more
  bool selectionChanged = false;
  bool settled = false;
};

// On the heap and never destroyed: the process may end (exit handlers, static destructors) while
// the prefetch is inside a download and comes back to the store afterwards.
Store& TheStore() {
  static Store* store = new Store;
  return *store;
}

void Drop(Slot& slot) {
  std::free(slot.image);
  slot.image = nullptr;
  slot.length = 0;
  slot.state = SLOT_MISSING;
}

// Wanted are exactly the run's count entries; images in hand that are not are let go. Lock held.
void Want(Store& store, const RunEntry* entries, int count) {
  for (Slot& slot : store.slots) slot.wanted = false;
  for (int k = 0; k < count; ++k) store.slots[entries[k].index].wanted = true;
  for (Slot& slot : store.slots)
    if (!slot.wanted && slot.state == SLOT_READY) Drop(slot);
}

// Puts a finished fetch into its slot, kept when it passed, unless the run has claimed the images
// without it. Until the claim an image of another selection stays: the user may pick it again,
// and it would otherwise be downloaded twice. Lock held.
void Settle(Store& store, Slot& slot, const ImageOutcome& outcome, uint8_t* image, int length) {
  slot.state = SLOT_MISSING;
  if (outcome.stage == IMAGE_READY && (!store.claimed || slot.wanted)) {
    slot.image = image;
    slot.length = length;
    slot.state = SLOT_READY;
  } else {
    std::free(image);
  }
  store.changed.notify_all();
}

// Fetches and checks entry's image into its slot, the lock let go meanwhile (the slot shows it
// under way, so that nobody fetches it twice). Lock held on entry and on return.
ImageOutcome FetchIntoSlot(Store& store, std::unique_lock<std::mutex>& lock, Slot& slot,
                           const RunEntry& entry) {
  slot.state = SLOT_FETCHING;
  lock.unlock();
  uint8_t* image = nullptr;
  int length = 0;
  ImageOutcome outcome = FetchCheckedImage(entry, &image, &length);
  lock.lock();
  Settle(store, slot, outcome, image, length);
  return outcome;
}

// The same rule as the run's: the entry's size in this mode, and of the main images only the one
// at the selected line (countdown starts at the line plus one).
int32_t RunSize(const CatalogueEntry& entry, int* countdown) {
  int32_t size = (g_app.runFlags & FLAG_FORCE) ? entry.fullSize : entry.pendingSize;
  if (size == 0) return 0;
  if (entry.kind == KIND_C && --*countdown != 0) return 0;
  return size;
}

}  // namespace

int RunEntries(int selectedLine, RunEntry* entries) {
  int countdown = selectedLine + 1;
  int count = 0;
  for (int i = 0; i < g_app.catalogue.entryCount && i < MAX_CATALOGUE_ENTRIES; ++i) {
    int32_t size = RunSize(g_app.catalogue.entries[i], &countdown);
    if (size != 0) entries[count++] = {i, size};
  }
  return count;
}

ImageOutcome FetchCheckedImage(const RunEntry& entry, uint8_t** image, int* length) {
  *image = nullptr;
  *length = 0;
  const CatalogueEntry& catalogued = g_app.catalogue.entries[entry.index];
  int capacity = entry.size + IMAGE_BUFFER_EXTRA;
  auto* buffer = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(capacity), 1));
  if (buffer == nullptr) return {IMAGE_NO_BUFFER, 0};
  char url[LOCATION_CAPACITY];
  ImageFileLocation(url, sizeof url, g_app.baseUrl, g_app.poolDirectory, catalogued.name);
  int received = DownloadToBuffer(buffer, capacity, url, u"");
  ImageOutcome outcome = {IMAGE_READY, 0};
  if (received < 1) {
    outcome = {IMAGE_DOWNLOAD_FAILED, received};
  } else {
    // Held against the record on the bytes as downloaded, before anything reads them.
    char path[LOCATION_CAPACITY];
    ImageFileLocation(path, sizeof path, "", g_app.poolDirectory, catalogued.name);
    int signedResult = CheckSignedFile(path, buffer, received);
    if (signedResult != RECORD_OK) {
      outcome = {IMAGE_NOT_SIGNED, signedResult};
    } else {
      const char* name = catalogued.name;
      char tag[5] = {name[2], name[3], name[4], name[5], 0};
      int result = CheckUpdateFile(received, buffer, tag, MODE_IMAGE_FILE);
      // Nothing is erased unless the file holds the page data of its whole sector range.
      if (result == CHECK_OK) result = CheckImageRange(received, buffer);
      if (result != CHECK_OK) outcome = {IMAGE_CHECK_FAILED, result};
    }
  }
  if (outcome.stage != IMAGE_READY) {
    std::free(buffer);
    return outcome;
  }
  *image = buffer;
  *length = received;
  return outcome;
}

void OfferRunImages() {
  Store& store = TheStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  for (Slot& slot : store.slots) {
    if (slot.state == SLOT_READY) Drop(slot);
    slot = Slot{};
  }
  store.offered = true;
  store.claimed = false;
  store.selectionChanged = false;
  store.settled = false;
}

void PrefetchRunImages() {
  Store& store = TheStore();
  std::unique_lock<std::mutex> lock(store.mutex);
  if (!store.offered) return;
  for (;;) {
    if (store.claimed) return;
    store.selectionChanged = false;
    // Asked outside the lock: the window answers on its own thread, which may be waiting for it.
    lock.unlock();
    RunEntry entries[MAX_CATALOGUE_ENTRIES];
    int count = RunEntries(g_app.ui->ComboSelection(), entries);
    lock.lock();
    if (store.claimed) return;
    if (store.selectionChanged) continue;
    const RunEntry* next = nullptr;
    for (int k = 0; k < count && next == nullptr; ++k) {
      const Slot& slot = store.slots[entries[k].index];
      if (slot.state == SLOT_MISSING && !slot.tried) next = &entries[k];
    }
    if (next == nullptr) {
      store.settled = true;
      store.changed.wait(lock, [&store] { return store.selectionChanged || store.claimed; });
      store.settled = false;
      continue;
    }
    Slot& slot = store.slots[next->index];
    slot.tried = true;
    FetchIntoSlot(store, lock, slot, *next);
  }
}

void NoteSelectionChanged() {
  Store& store = TheStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  store.selectionChanged = true;
  // Not settled until the prefetch has looked at the new selection.
  store.settled = false;
  store.changed.notify_all();
}

void ClaimRunImages(const RunEntry* entries, int count) {
  Store& store = TheStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  store.claimed = true;
  Want(store, entries, count);
  store.changed.notify_all();
}

bool RunImageReady(int index) {
  Store& store = TheStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  return store.slots[index].state == SLOT_READY;
}

ImageOutcome GatherRunImage(const RunEntry& entry) {
  Store& store = TheStore();
  std::unique_lock<std::mutex> lock(store.mutex);
  Slot& slot = store.slots[entry.index];
  // The prefetch's fetch of this image is waited for, not repeated.
  store.changed.wait(lock, [&slot] { return slot.state != SLOT_FETCHING; });
  if (slot.state == SLOT_READY) return {IMAGE_READY, 0};
  slot.wanted = true;
  return FetchIntoSlot(store, lock, slot, entry);
}

const uint8_t* RunImage(int index, int* length) {
  Store& store = TheStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  const Slot& slot = store.slots[index];
  *length = slot.length;
  return slot.state == SLOT_READY ? slot.image : nullptr;
}

void ReleaseRunImage(int index) {
  Store& store = TheStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  if (store.slots[index].state == SLOT_READY) Drop(store.slots[index]);
}

void ReleaseRunImages() {
  for (int i = 0; i < MAX_CATALOGUE_ENTRIES; ++i) ReleaseRunImage(i);
}

bool PrefetchSettled() {
  Store& store = TheStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  return store.settled;
}
