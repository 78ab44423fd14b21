// The update check of the identification worker.
#include "workflow/update_check.h"

#include <cstring>

#include "app/app_state.h"
#include "app/messages.h"
#include "files/download.h"
#include "files/server_layout.h"
#include "files/update_file.h"
#include "workflow/catalogue_compare.h"
#include "workflow/publication_check.h"

int CheckForUpdates() {
  bool offer = true;
  uint8_t step[INDEX_BUFFER_SIZE];
  uint8_t final[INDEX_BUFFER_SIZE];
  // Zeroed so that the header bytes of a short download are never uninitialised.
  std::memset(step, 0, sizeof step);
  std::memset(final, 0, sizeof final);
  const char* modelId = g_app.identity.modelId;
  // Both index files' places under the base path: how the publication record names them.
  char stepPath[LOCATION_CAPACITY], finalPath[LOCATION_CAPACITY];
  IndexFileLocation(stepPath, sizeof stepPath, "", STEP_INDEX_DIRECTORY, modelId);
  IndexFileLocation(finalPath, sizeof finalPath, "", FINAL_INDEX_DIRECTORY, modelId);
  if (!FetchPublicationRecord()) return 1;

  int length = FetchIndexFile(step, sizeof step, g_app.baseUrl, modelId, 1);
  if (length <= 0) {
    ShowErrorCode(length);
    g_app.ui->EndProcess(0);
    return 1;
  }
  if (!AcceptSignedFile(stepPath, step, length)) return 1;
  int result = CheckUpdateFile(length, step, modelId, MODE_INDEX_FILE);
  // An index file whose entries cannot be read safely is refused like one that fails the check.
  if (result == CHECK_OK)
    result = ParseCatalogue(step, length, 1, &g_app.catalogue) < 0 ? CHECK_CATALOGUE_MALFORMED
                                                                   : CHECK_OK;
  if (result != CHECK_OK) {
    FatalErrorFormat(FORMAT_ERROR_INDEX_CHECK, result);
    return 1;
  }

  // A signed publication without a final index has none to fetch; one it lists must arrive whole
  // and match: skipping it would turn a release of several passes into "done" after this one.
  const bool fetchFinal = MayFetch(finalPath);
  int length2 = fetchFinal ? FetchIndexFile(final, sizeof final, g_app.baseUrl, modelId, 0) : 0;
  if (fetchFinal && ChecksPublications() && length2 <= 0) {
    ShowErrorCode(length2);
    g_app.ui->EndProcess(0);
    return 1;
  }
  if (length2 > 0 && !AcceptSignedFile(finalPath, final, length2)) return 1;
  if (length2 > 0 && CheckUpdateFile(length2, final, modelId, MODE_INDEX_FILE) == CHECK_OK) {
    if (std::memcmp(final + 8, step + 8, 16) != 0) g_app.catalogue.flags |= CATALOGUE_MORE_PASSES;
    const WChar* format = FORMAT_STATUS_OFFER;
    const char* version = g_app.catalogue.mainVersionText;
    UpdateCatalogue finalCatalogue = EmptyCatalogue();
    if (g_app.catalogue.flags & CATALOGUE_MORE_PASSES) {
      // A final file whose entries cannot be read shows no version rather than stale text.
      ParseCatalogue(final, length2, 0, &finalCatalogue);
      format = FORMAT_STATUS_MORE_PASSES;
      version = finalCatalogue.mainVersionText;
    } else if ((g_app.catalogue.flags & CATALOGUE_UP_TO_DATE) && !(g_app.runFlags & FLAG_FORCE)) {
      format = FORMAT_STATUS_UP_TO_DATE;
      offer = false;
    }
    FormatText(g_app.textBuffer, TEXT_CAPACITY, format, version);
    g_app.ui->SetControlText(ID_LATEST_LABEL, g_app.textBuffer);
  }
  if (offer) g_app.ui->EnableControl(ID_START_BUTTON, true);
  return 1;
}
