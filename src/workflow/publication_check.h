// The signed publication record between the server and the flash: fetched and verified right
// after identification, then asked about every index and image file before it is used.
#pragma once

#include <cstdint>

// Fetches the record of the identified model and its signature and checks them (CheckRecord,
// with g_app.publicKeys and ReadSystemClock; a clock it cannot read makes the record expired)
// into g_app.record. Returns true when they hold, or at once when the program has no keys
// (nothing is fetched). Otherwise reports (the download's box, or the numbered text of the
// failed check), asks the process to end and returns false.
bool FetchPublicationRecord();

// Whether this program checks publications (it has keys). Then a file the record lists that
// does not arrive is a failed download, the optional final index too.
bool ChecksPublications();

// Whether the file at path (under the base path) is to be fetched at all: always for a program
// without keys; with keys only when the verified record lists it.
bool MayFetch(const char* path);

// Accepts a downloaded file (length bytes at data, the caller's) at path under the base path:
// true when the program has no keys, or the record lists path with this length and SHA-256.
// Otherwise shows the numbered text, asks the process to end and returns false: the file must
// not be descrambled, parsed or programmed.
bool AcceptSignedFile(const char* path, const uint8_t* data, int length);
