// The terminal implementation of the UI seam: the window's states as lines, boxes as frames.
#include "ui/term/term_ui.h"

#include <chrono>
#include <cstdlib>

#include "app/text_hand_over.h"
#include "base/strings.h"
#include "ui/term/sleep_lock.h"
#include "ui/term/term_text.h"

namespace {

// The window's rule (app/text_hand_over.h): a progress text on screen for less than this may be
// skipped; any other change, and the last text before a box, is drawn at once.
constexpr long long REDRAW_MICROS = HAND_OVER_INTERVAL_MS * 1000LL;
constexpr int BAR_CELLS = 30;
constexpr char TEXT_PRESS_ENTER[] = "請按 Enter 鍵繼續.";
constexpr char TEXT_REMOVED_IN_RUN[] = "測速器已移除, 更新未完成!";
constexpr char TEXT_REMOVED[] = "測速器已移除.";
constexpr char TEXT_NO_SLEEP_LOCK[] = "無法阻止電腦休眠或關機: 更新完成前請讓電腦保持開機.";
constexpr char TEXT_PART_SLEEP_LOCK[] =
    "已阻止休眠與關機, 但攔不下闔上螢幕與電源鍵: 更新完成前請勿闔上螢幕或按電源鍵.";
constexpr char ERASE_BELOW[] = "\x1b[J";
constexpr char ERASE_LINE[] = "\x1b[2K";
constexpr char ERROR_COLOUR[] = "\x1b[31m";
constexpr char NO_COLOUR[] = "\x1b[0m";

long long NowMicros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string Table(int id) {
  WChar text[TEXT_CAPACITY];
  LoadTableString(id, text, TEXT_CAPACITY);
  return TermUtf8(text);
}

// A text that came through the UI seam: it may hold what the server or the device sent.
std::string Outside(const WChar* text, bool keepLineBreaks = false) {
  return TerminalSafe(TermUtf8(text), keepLineBreaks);
}

std::string ListLine(int index, const std::string& line, bool selected) {
  return std::string(selected ? "  > " : "    ") + std::to_string(index + 1) + "." + line;
}

}  // namespace

void CTermUiPort::SetControlText(int id, const WChar* text) {
  std::lock_guard<std::mutex> lock(mutex);
  std::string value = Outside(text);
  switch (id) {
    case ID_DEVICE_LABEL:
      deviceLine = value;
      if (options.plain) PrintPlain(Table(STR_DEVICE_GROUP) + value);
      Draw(true);
      break;
    case ID_LATEST_LABEL:
      latestLine = value;
      if (options.plain) PrintPlain(Table(STR_LATEST_GROUP) + value);
      Draw(true);
      break;
    case ID_START_BUTTON: {
      caption = value;
      bool tick = nextCaptionIsTick;
      nextCaptionIsTick = false;
      if (options.plain) {
        // A line for each other caption, but for the per-sector countdown one a tenth of the run.
        int decile = sectorsTotal > 0 ? static_cast<int>(sectorsDone * 10 / sectorsTotal) : 0;
        if (!tick || decile != lastDecile) PrintPlain(ProgressLine());
        if (tick) lastDecile = decile;
      }
      Draw(!tick);
      break;
    }
    default:
      break;
  }
}

void CTermUiPort::EnableControl(int id, bool enabled) {
  std::lock_guard<std::mutex> lock(mutex);
  if (id == ID_START_BUTTON) startEnabled = enabled;
}

void CTermUiPort::ComboAddLine(const WChar* line) {
  std::lock_guard<std::mutex> lock(mutex);
  list.push_back(Outside(line));
  if (options.plain) {
    if (list.size() == 1) PrintPlain(Table(STR_AVAILABLE_GROUP));
    PrintPlain(ListLine(static_cast<int>(list.size()) - 1, list.back(), false));
  }
  Draw(true);
}

void CTermUiPort::ComboSelect(int line) {
  std::lock_guard<std::mutex> lock(mutex);
  selection = line >= 0 && line < static_cast<int>(list.size()) ? line : -1;
  Draw(true);
}

int CTermUiPort::ComboSelection() {
  std::lock_guard<std::mutex> lock(mutex);
  return selection;
}

int CTermUiPort::ShowMessage(const WChar* text, const WChar* caption, unsigned style) {
  std::unique_lock<std::mutex> lock(mutex);
  bool error = (style & MB_STYLE_ICON_ERROR) != 0;
  if (error) errorShown = true;
  // The only boxes without an icon are the run's closing messages.
  if (!error) finished = true;
  prompt.clear();
  // A box during the run is its end: a warning held over from it no longer applies.
  if (runActive) note.clear();
  Draw(true);
  std::vector<std::string> box = FrameBox(Outside(caption), Outside(text, true), !TerminalIsUtf8());
  for (const std::string& line : box) {
    if (error && !options.plain)
      Write(ERROR_COLOUR + line + NO_COLOUR + "\n");
    else
      Write(line + "\n");
  }
  // The next drawing starts a new block below the box.
  drawnRows.clear();
  if (options.interactive) {
    Write(std::string(TEXT_PRESS_ENTER) + "\n");
    std::fflush(out);
    boxWaiting = true;
    boxAnswered.wait(lock, [this] { return !boxWaiting; });
  }
  std::fflush(out);
  return 1;
}

int CTermUiPort::LoadString(int id, WChar* dst, int capacity) {
  return LoadTableString(id, dst, capacity);
}

void CTermUiPort::EndProcess(int code) {
  std::unique_lock<std::mutex> lock(mutex);
  Exit(code != 0 ? code : errorShown ? TERM_EXIT_ERROR_BOX : TERM_EXIT_OK, false);
}

void CTermUiPort::Quit(int code, bool workerRunning) {
  std::unique_lock<std::mutex> lock(mutex);
  // A worker that waits for its box's answer is not using the device.
  Exit(code != 0    ? code
       : errorShown ? TERM_EXIT_ERROR_BOX
                    : TERM_EXIT_OK,
       workerRunning && !boxWaiting);
}

void CTermUiPort::SectorDone() {
  std::lock_guard<std::mutex> lock(mutex);
  ++sectorsDone;
  nextCaptionIsTick = true;
}

void CTermUiPort::HoldComputer(bool held) {
  // Not under the lock: the login manager may take a while to answer, and drawing goes on.
  if (held && sleepLock < 0) {
    SleepLockScope scope = SLEEP_LOCK_NONE;
    sleepLock = TakeSleepLock(&scope);
    // A whole lock needs no word; anything less is said once.
    if (scope != SLEEP_LOCK_ALL && !sleepLockNoticed) {
      sleepLockNoticed = true;
      SetNote(scope == SLEEP_LOCK_NONE ? TEXT_NO_SLEEP_LOCK : TEXT_PART_SLEEP_LOCK);
    }
  } else if (!held && sleepLock >= 0) {
    ReleaseSleepLock(sleepLock);
    sleepLock = -1;
  }
}

void CTermUiPort::Begin(const std::string& titleLine) {
  std::lock_guard<std::mutex> lock(mutex);
  title = titleLine;
  if (options.plain) PrintPlain(title);
  Draw(true);
}

void CTermUiPort::SetNote(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex);
  note = text;
  if (options.plain && !note.empty()) PrintPlain(note);
  Draw(true);
}

void CTermUiPort::SetPrompt(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex);
  prompt = text;
  if (options.plain && !prompt.empty()) PrintPlain(prompt);
  Draw(true);
}

void CTermUiPort::PrintBox(const std::string& boxCaption, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex);
  Draw(true);
  for (const std::string& line : FrameBox(boxCaption, text, !TerminalIsUtf8())) Write(line + "\n");
  drawnRows.clear();
  Draw(true);
}

void CTermUiPort::Resize(int newColumns, int newRows) {
  std::lock_guard<std::mutex> lock(mutex);
  if (options.plain) return;
  // A terminal that reflows its lines (most do) splits each drawn row that no longer fits; the
  // way back to the block's first row is as many rows as those pieces make.
  std::vector<std::string> reflowed;
  for (const std::string& row : drawnRows)
    for (std::string& piece : WrapRows(row, newColumns)) reflowed.push_back(piece);
  drawnRows = reflowed;
  options.columns = newColumns;
  options.rows = newRows;
  // Below a box the next change draws a new block anyway.
  if (!drawnRows.empty()) Draw(true);
}

void CTermUiPort::Suspend() {
  std::lock_guard<std::mutex> lock(mutex);
  if (cursorHidden) Write("\x1b[?25h");
  cursorHidden = false;
  std::fflush(out);
}

void CTermUiPort::Resume() {
  std::lock_guard<std::mutex> lock(mutex);
  if (drawnRows.empty()) return;
  drawnRows.clear();
  Draw(true);
}

void CTermUiPort::BeginRun(long sectors) {
  std::lock_guard<std::mutex> lock(mutex);
  runActive = true;
  // The status is the run's: an error box answered before it (the low battery's) ended nothing.
  errorShown = false;
  sectorsTotal = 2 * sectors;
  sectorsDone = 0;
  if (options.plain && selection >= 0)
    PrintPlain(Table(STR_START) + ":" + ListLine(selection, list[selection], true));
  Draw(true);
}

void CTermUiPort::DeviceRemoved() {
  std::unique_lock<std::mutex> lock(mutex);
  bool interrupted = runActive && !finished;
  note = interrupted ? TEXT_REMOVED_IN_RUN : TEXT_REMOVED;
  prompt.clear();
  // Below a box the note is a line of its own; otherwise the block shows it when Exit draws it.
  if (options.plain || drawnRows.empty()) PrintPlain(note);
  // The device is gone: nothing is left to close or save, and a worker may be in a request.
  Exit(interrupted ? TERM_EXIT_REMOVED : errorShown ? TERM_EXIT_ERROR_BOX : TERM_EXIT_OK, true);
}

bool CTermUiPort::AnswerBox() {
  std::lock_guard<std::mutex> lock(mutex);
  if (!boxWaiting) return false;
  boxWaiting = false;
  boxAnswered.notify_all();
  return true;
}

void CTermUiPort::StopWaiting() {
  std::lock_guard<std::mutex> lock(mutex);
  options.interactive = false;
  boxWaiting = false;
  boxAnswered.notify_all();
}

bool CTermUiPort::StartEnabled() {
  std::lock_guard<std::mutex> lock(mutex);
  return startEnabled;
}

bool CTermUiPort::RunActive() {
  std::lock_guard<std::mutex> lock(mutex);
  return runActive && !finished;
}

int CTermUiPort::ListLength() {
  std::lock_guard<std::mutex> lock(mutex);
  return static_cast<int>(list.size());
}

std::string CTermUiPort::ProgressLine() const {
  return caption + "  " + ProgressBar(sectorsDone, sectorsTotal, BAR_CELLS);
}

std::vector<std::string> CTermUiPort::BlockLines() const {
  std::vector<std::string> lines;
  lines.push_back(title);
  lines.push_back(Table(STR_DEVICE_GROUP) + deviceLine);
  lines.push_back(Table(STR_LATEST_GROUP) + latestLine);
  lines.push_back(Table(STR_AVAILABLE_GROUP));
  for (size_t i = 0; i < list.size(); ++i)
    lines.push_back(ListLine(static_cast<int>(i), list[i], static_cast<int>(i) == selection));
  // A run with nothing to write (a pass that only moves the device on) has no bar to show.
  if (runActive && sectorsTotal > 0) lines.push_back(ProgressLine());
  if (!note.empty()) lines.push_back(note);
  if (!prompt.empty()) lines.push_back(prompt);
  return lines;
}

void CTermUiPort::Draw(bool force) {
  if (options.plain || ending) return;
  long long now = NowMicros();
  if (!force && now - lastDrawMicros < REDRAW_MICROS) return;
  lastDrawMicros = now;
  std::string frame;
  if (!cursorHidden) {
    frame += "\x1b[?25l";
    cursorHidden = true;
  }
  // Each line cut into the rows the terminal would wrap it into, so that the count of rows to go
  // back is exact. A block taller than the terminal keeps its last rows: the way back cannot
  // reach above the top of the screen.
  std::vector<std::string> rows;
  for (const std::string& line : BlockLines())
    for (std::string& row : WrapRows(line, options.columns)) rows.push_back(row);
  if (options.rows > 1 && static_cast<int>(rows.size()) > options.rows - 1)
    rows.erase(rows.begin(), rows.end() - (options.rows - 1));
  // Back to the block's first row, then each row overwritten and cleared to its end. Clearing
  // the screen from its top-left corner instead would push the old block into the scrollback of
  // terminals such as tmux: a copy for every redraw.
  if (!drawnRows.empty()) frame += "\x1b[" + std::to_string(drawnRows.size()) + "F";
  for (const std::string& row : rows) frame += ERASE_LINE + row + "\n";
  // Rows left over from a taller block.
  frame += ERASE_BELOW;
  drawnRows = rows;
  Write(frame);
  std::fflush(out);
}

void CTermUiPort::PrintPlain(const std::string& line) {
  Write(line + "\n");
  std::fflush(out);
}

void CTermUiPort::Write(const std::string& text) {
  std::fputs(ToTerminalCharset(text).c_str(), out);
}

void CTermUiPort::Exit(int status, bool quick) {
  // Called with the lock held, which exit() never gives back: whoever comes second (a removal
  // during the closing box, say) waits for the lock while the first runs the exit handlers.
  // The block is brought up to date only where it is still the last thing on the screen.
  if (!drawnRows.empty()) Draw(true);
  ending = true;
  if (cursorHidden) Write("\x1b[?25h");
  std::fflush(out);
  if (quick) std::quick_exit(status);
  std::exit(status);
}
