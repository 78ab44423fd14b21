// The update run: every pending entry downloaded, checked, programmed and verified, then the
// finishing command.
#pragma once

// The update worker, started by Start. Disables Start, Exit and the version list, applies the
// pending entries (every entry with a size in forced mode; of the main images only the selected
// one), sends CMD_UPDATE_AGAIN or CMD_UPDATE_DONE, shows the closing box and asks the process to
// end. Every failure is reported and ends the process. Returns 0.
int RunUpdate();
