// The run's images in memory: every one fetched and checked before the first erase, most of them
// early, by the prefetch, while the offer is on screen.
#pragma once

#include <cstdint>

// What fetching and checking one entry's image came to.
enum ImageStage : int {
  IMAGE_READY = 0,        // in hand and checked
  IMAGE_NO_BUFFER,        // its buffer could not be allocated
  IMAGE_DOWNLOAD_FAILED,  // code: the download's ErrorCode, or 0 for an empty file
  IMAGE_NOT_SIGNED,       // code: the RecordCheck with which the publication record refused it
  IMAGE_CHECK_FAILED,     // code: the refusal of CheckUpdateFile or CheckImageRange
};
struct ImageOutcome {
  int stage;
  int code;
};

// One entry a run applies: its catalogue index and the byte count the catalogue gives for it.
struct RunEntry {
  int index;
  int32_t size;
};

// The entries a run started with version-list line selectedLine (-1: none) applies, in catalogue
// order (every entry with a size, its full size in forced mode; of the main images only the one
// on that line), into entries (room for MAX_CATALOGUE_ENTRIES). Returns their count.
int RunEntries(int selectedLine, RunEntry* entries);

// Downloads entry's image into a new buffer of size + IMAGE_BUFFER_EXTRA bytes and checks it: in
// a signed program its size and SHA-256 against the record, then CheckUpdateFile in image mode
// (which descrambles it in place) and CheckImageRange. Shows nothing and touches no device.
// IMAGE_READY: *image (the caller's, to release with std::free) and *length hold the checked
// file. Otherwise nothing is kept and the outcome says why.
ImageOutcome FetchCheckedImage(const RunEntry& entry, uint8_t** image, int* length);

// Called by the update check when it offers a run: forgets every image of an earlier offer (a
// process has one; tests run many) and lets PrefetchRunImages work.
void OfferRunImages();

// The prefetch, on a worker thread, never the window's: once a run is offered, fetches and checks
// one after the other the images a run with the version list's current selection would apply,
// and keeps them. A failure shows nothing and leaves that image to the run; each image is tried
// once. After a selection change (NoteSelectionChanged) it fetches what the new selection lacks;
// what it has stays until the run's claim (the selection may come back: nothing is fetched twice,
// and a catalogue's entries all fit in memory). Returns at once without an offer, else when a run
// has claimed the images (an image it is fetching then is finished first). Nothing waits for it:
// the process may end while it is inside a download.
void PrefetchRunImages();

// Tells the prefetch that the version list's selection changed. Cheap; from any thread.
void NoteSelectionChanged();

// The run's claim, before it gathers: the prefetch takes no further image, and images that none of
// the count entries need are let go.
void ClaimRunImages(const RunEntry* entries, int count);

// True when entry `index`'s image is in hand now.
bool RunImageReady(int index);

// Has entry's image in hand for the run: the one the prefetch keeps, or, when the prefetch is
// fetching it, that one once it is done (never fetched twice); when missing it is fetched and
// checked now. Returns the outcome of the fetch that decided (IMAGE_READY when in hand).
ImageOutcome GatherRunImage(const RunEntry& entry);

// The checked image of entry `index` in hand (nullptr when none) and its length. The store keeps
// it until ReleaseRunImages or ReleaseRunImage.
const uint8_t* RunImage(int index, int* length);
void ReleaseRunImage(int index);
// Lets go of every image in hand.
void ReleaseRunImages();

// True while the prefetch has nothing left to try for the current selection and waits (tests
// and the benchmark ask).
bool PrefetchSettled();
