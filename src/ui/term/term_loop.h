// The terminal program's event loop: keys, signals and a worker's wake-up as events on the main
// thread, the terminal's modes, and what every phase does with a signal.
#pragma once

#include "ui/term/term_ui.h"

// The status after signal n before the run is this plus n, as a shell reports it.
constexpr int SIGNAL_EXIT_BASE = 128;

enum EventKind { EVENT_TIMEOUT, EVENT_KEY, EVENT_INPUT_CLOSED, EVENT_SIGNAL, EVENT_WAKE };
struct Event {
  EventKind kind;
  int value;  // the key's byte (EVENT_KEY) or the signal's number (EVENT_SIGNAL), else 0
};

// Blocks interrupts (SIGINT, SIGHUP, SIGTERM, SIGQUIT), Ctrl-Z (SIGTSTP) and size changes
// (SIGWINCH) on every thread and delivers them as events instead; ignores SIGPIPE. Called before
// any other thread starts. false when they cannot be caught that way.
bool SignalsAsEvents();

// Gives the loop its port and, with readKeys, makes keys arrive one at a time, unechoed, from a
// terminal input. The terminal's modes are restored at exit and before a crash ends the process;
// drawing says the cursor may be hidden and must be shown again then. Called once, after the
// device back end's exit handler is registered (the modes are restored before it runs).
void StartLoop(CTermUiPort* port, bool readKeys, bool drawing);

// Waits up to timeoutMs (-1: for ever) for the next event. A closed or ended input is reported
// once as EVENT_INPUT_CLOSED: from then on keys are not read and boxes do not wait.
Event WaitEvent(int timeoutMs);
// false once the input has ended (or never read, with --yes).
bool InputOpen();
// Makes the main thread's WaitEvent return EVENT_WAKE; from any thread.
void Wake();
// Whether a worker may be using the device now: q and signals then end the process without the
// exit handlers (CTermUiPort::Quit).
void SetWorkerRunning(bool running);

bool IsEnter(const Event& event);

// The terminal's size into term (unchanged where the output is no terminal).
void ReadTerminalSize(TermOptions* term);

// What every phase does with an event: a size change redraws, Ctrl-Z stops the program until it
// is continued, an interrupt or q ends it (128 + n, or 0 for q), Enter answers a waiting box.
// During the run interrupts, stops and q are held off with a warning instead. Returns true when
// it took the event.
bool CommonEvent(const Event& event);
