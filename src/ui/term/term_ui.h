// The terminal implementation of the UI seam: the window's states as lines, boxes as frames.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "app/ui_port.h"

// Exit statuses of the terminal program (the Windows program ends with 0 whatever happened).
enum TermExitStatus : int {
  TERM_EXIT_OK = 0,
  TERM_EXIT_ERROR_BOX = 1,  // an error box was shown
  TERM_EXIT_USAGE = 2,      // bad options, or no answer to a question on a closed input
  TERM_EXIT_REMOVED = 3,    // the device went away during the update run
};

struct TermOptions {
  bool plain = false;       // lines only, no escape sequences: output not a terminal, or NO_COLOR
  bool interactive = true;  // boxes wait for Enter: false with --yes (StopWaiting clears it later)
  int columns = 80;         // terminal size, for redrawing in place
  int rows = 24;
};

// The screen is a block of lines below whatever was printed before: title, the three groups of
// the window, the progress line and a prompt. On a terminal the block is redrawn in place, row by
// row as the terminal wraps it, and only its last rows when it is taller than the terminal; in
// plain mode each change is printed once as a line of its own. Texts that reach it through the
// UI seam (from the server or the device) are made safe with TerminalSafe; everything is written
// in the terminal's character set. Every method may be called from any thread; one lock keeps the
// model and the output together. Boxes are printed below the block and, when interactive, wait
// until the main loop calls AnswerBox.
class CTermUiPort : public CUiPort {
 public:
  CTermUiPort(std::FILE* out, const TermOptions& options) : out(out), options(options) {}

  void SetControlText(int id, const WChar* text) override;
  void EnableControl(int id, bool enabled) override;
  void ComboAddLine(const WChar* line) override;
  void ComboSelect(int line) override;
  int ComboSelection() override;
  int ShowMessage(const WChar* text, const WChar* caption, unsigned style) override;
  int LoadString(int id, WChar* dst, int capacity) override;
  // Ends the process: status `code` when nonzero, else 1 after an error box and 0 otherwise. The
  // workers call it, each when it is the only one using the device: the exit handlers then close
  // the device.
  [[noreturn]] void EndProcess(int code) override;
  // The same from outside the workers (q, a signal). While a worker may still be using the device
  // (it runs and waits for no box) the process ends without the exit handlers and destructors that
  // would pull the device and the state from under it; the system closes the device.
  [[noreturn]] void Quit(int code, bool workerRunning);
  void SectorDone() override;
  // Takes the system's sleep lock (sleep_lock.h) while held; where there is none to be had, or
  // only part of it (not the lid and keys), says so once in the note line and the run goes on.
  // Called by the workers, which run one at a time.
  void HoldComputer(bool held) override;

  // The title line and the first drawing.
  void Begin(const std::string& title);
  // A line under the block (warnings, hints), shown until replaced; "" removes it.
  void SetNote(const std::string& note);
  // The prompt line at the bottom of the block; "" removes it.
  void SetPrompt(const std::string& prompt);
  // A box of the front end's own (not from the workflow), printed without waiting. The texts are
  // the caller's: it makes outside parts of them safe.
  void PrintBox(const std::string& caption, const std::string& text);
  // The terminal's new size (SIGWINCH): the block is redrawn for it.
  void Resize(int columns, int rows);
  // Before the process stops (Ctrl-Z): the cursor is shown again. Resume, after it continues,
  // draws the block anew below whatever the shell printed meanwhile.
  void Suspend();
  void Resume();
  // Marks the update run as started with `sectors` to write (each also verified): the bar's
  // total is twice that. From here on only the run's own boxes decide the exit status.
  void BeginRun(long sectors);
  // The state a removal of the device meets: before the run (or after its closing box) the
  // program ends with 0, as the window does; in the middle of the run with TERM_EXIT_REMOVED.
  // Called from the removal watch: ends as Quit does while a worker runs.
  [[noreturn]] void DeviceRemoved();
  // Releases a box that waits for its answer; false when none waits.
  bool AnswerBox();
  // From now on boxes do not wait (the input has closed); a box that waits is released.
  void StopWaiting();
  bool StartEnabled();
  // true from BeginRun until the closing box: the time in which nothing may interrupt the run.
  bool RunActive();
  int ListLength();

 private:
  void Draw(bool force);
  void PrintPlain(const std::string& line);
  // Writes text converted to the terminal's character set.
  void Write(const std::string& text);
  std::string ProgressLine() const;
  std::vector<std::string> BlockLines() const;
  [[noreturn]] void Exit(int status, bool quick);

  std::FILE* out;
  TermOptions options;
  std::mutex mutex;
  std::condition_variable boxAnswered;
  bool boxWaiting = false;
  bool ending = false;

  std::string title, deviceLine, latestLine, caption, note, prompt;
  std::vector<std::string> list;
  int selection = -1;
  bool startEnabled = false, runActive = false, finished = false, errorShown = false;
  long sectorsTotal = 0, sectorsDone = 0;
  bool nextCaptionIsTick = false;
  int lastDecile = -1;
  // The rows of the block as last drawn, the cursor on the row below them (none: the next drawing
  // starts a new block where the cursor is).
  std::vector<std::string> drawnRows;
  long long lastDrawMicros = 0;
  bool cursorHidden = false;
  // The workers' own (HoldComputer): the sleep lock's descriptor (-1: none held).
  int sleepLock = -1;
  bool sleepLockNoticed = false;
};
