// The update check: both index files, the catalogue, the status line and whether Start is offered.
#pragma once

// Second phase of the identification worker, after IdentifyConnectedDevice. Fetches and checks
// the step and final index files, fills the application's catalogue and version list, sets
// CATALOGUE_MORE_PASSES when the two differ in bytes 8..23, shows the status line and enables
// Start when there is something to do. On a failed step index it reports and asks the process to
// end; on a failed final index too when the program checks publications and the record lists
// one (a keyless program goes on without it). Returns 1.
int CheckForUpdates();
