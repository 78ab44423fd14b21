// The terminal program's event loop on Linux: poll over the input, a signalfd and a wake-up pipe;
// the terminal's modes; what every phase does with a signal.
#include "ui/term/term_loop.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char TEXT_HELD_OFF[] = "更新中, 不能中斷! 請等待更新完成.";

CTermUiPort* g_port = nullptr;
// Set while a worker (identification or the run) may be using the device.
std::atomic<bool> g_workerRunning{false};
int g_signalFd = -1;
int g_wake[2] = {-1, -1};
// Keys are read until the input ends (or never, with --yes); from then on nothing waits for one.
bool g_inputOpen = true;
termios g_savedTermios;
termios g_keysTermios;
bool g_termiosSaved = false;
// Escape sequences reach a terminal (the cursor may be hidden).
bool g_drawing = false;

// The signals that end a process abnormally; the terminal is restored before they do.
constexpr int CRASH_SIGNALS[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
struct sigaction g_crashActions[sizeof CRASH_SIGNALS / sizeof CRASH_SIGNALS[0]];

void RestoreTerminal() {
  if (g_termiosSaved) tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTermios);
}

// Async-signal-safe: the saved modes back and the cursor shown, then the signal's earlier
// handling (the default, or a sanitizer's report) runs once the handler returns.
void RestoreTerminalOnCrash(int signo) {
  RestoreTerminal();
  [[maybe_unused]] ssize_t shown = g_drawing ? write(STDOUT_FILENO, "\x1b[?25h", 6) : 0;
  for (size_t i = 0; i < sizeof CRASH_SIGNALS / sizeof CRASH_SIGNALS[0]; ++i)
    if (CRASH_SIGNALS[i] == signo) sigaction(signo, &g_crashActions[i], nullptr);
  raise(signo);
}

void RestoreTerminalOnCrashes() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = RestoreTerminalOnCrash;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < sizeof CRASH_SIGNALS / sizeof CRASH_SIGNALS[0]; ++i)
    sigaction(CRASH_SIGNALS[i], &action, &g_crashActions[i]);
}

// Keys arrive one at a time, unechoed; Ctrl-C, Ctrl-\ and Ctrl-Z still raise their signals,
// which the loop reads.
void KeysWithoutEnter() {
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &g_savedTermios) != 0) return;
  g_termiosSaved = true;
  std::atexit(RestoreTerminal);
  std::at_quick_exit(RestoreTerminal);
  g_keysTermios = g_savedTermios;
  g_keysTermios.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  g_keysTermios.c_cc[VMIN] = 1;
  g_keysTermios.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &g_keysTermios);
}

bool IsInterrupt(int signo) {
  return signo == SIGINT || signo == SIGHUP || signo == SIGTERM || signo == SIGQUIT;
}

bool IsQuit(const Event& event) {
  return event.kind == EVENT_KEY && (event.value == 'q' || event.value == 'Q');
}

Event InputClosed() {
  g_inputOpen = false;
  g_port->StopWaiting();
  return {EVENT_INPUT_CLOSED, 0};
}

// Ctrl-Z outside the run: the terminal as it was, then stopped; on fg, keys and the block again.
// The stop is the signal's own default action, taken by letting it through once: the system then
// ignores it where no shell could continue the process (an orphaned process group).
void StopUntilContinued() {
  g_port->Suspend();
  RestoreTerminal();
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTSTP);
  raise(SIGTSTP);
  pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  if (g_termiosSaved) tcsetattr(STDIN_FILENO, TCSANOW, &g_keysTermios);
  g_port->Resume();
}

}  // namespace

// Interrupts, stops and size changes reach the loop as events, on every thread alike, so that the
// run can hold them off.
bool SignalsAsEvents() {
  sigset_t set;
  sigemptyset(&set);
  for (int signo : {SIGINT, SIGHUP, SIGTERM, SIGQUIT, SIGTSTP, SIGWINCH}) sigaddset(&set, signo);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
  g_signalFd = signalfd(-1, &set, SFD_CLOEXEC);
  std::signal(SIGPIPE, SIG_IGN);
  return g_signalFd >= 0 && pipe(g_wake) == 0;
}

void StartLoop(CTermUiPort* port, bool readKeys, bool drawing) {
  g_port = port;
  g_inputOpen = readKeys;
  g_drawing = drawing;
  RestoreTerminalOnCrashes();
  if (readKeys) KeysWithoutEnter();
}

Event WaitEvent(int timeoutMs) {
  pollfd fds[3] = {{g_inputOpen ? STDIN_FILENO : -1, POLLIN, 0},
                   {g_signalFd, POLLIN, 0},
                   {g_wake[0], POLLIN, 0}};
  if (poll(fds, 3, timeoutMs) <= 0) return {EVENT_TIMEOUT, 0};
  if (fds[1].revents & POLLIN) {
    signalfd_siginfo info;
    if (read(g_signalFd, &info, sizeof info) != sizeof info) return {EVENT_TIMEOUT, 0};
    return {EVENT_SIGNAL, static_cast<int>(info.ssi_signo)};
  }
  if (fds[2].revents & POLLIN) {
    char byte;
    if (read(g_wake[0], &byte, 1) < 0) return {EVENT_TIMEOUT, 0};
    return {EVENT_WAKE, 0};
  }
  // A closed descriptor (POLLNVAL) ends the input like its end or a hang-up.
  if (fds[0].revents & POLLNVAL) return InputClosed();
  if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
    char key;
    ssize_t got = read(STDIN_FILENO, &key, 1);
    if (got == 1) return {EVENT_KEY, static_cast<unsigned char>(key)};
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return {EVENT_TIMEOUT, 0};
    return InputClosed();
  }
  return {EVENT_TIMEOUT, 0};
}

bool InputOpen() {
  return g_inputOpen;
}

void Wake() {
  char byte = 1;
  if (write(g_wake[1], &byte, 1) < 0) return;
}

void SetWorkerRunning(bool running) {
  g_workerRunning = running;
}

bool IsEnter(const Event& event) {
  return event.kind == EVENT_KEY && (event.value == '\n' || event.value == '\r');
}

void ReadTerminalSize(TermOptions* term) {
  winsize size;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return;
  if (size.ws_col > 0) term->columns = size.ws_col;
  if (size.ws_row > 0) term->rows = size.ws_row;
}

// During the run interrupts, stops and q are held off, as Exit is disabled then: a stopped or
// ended run leaves the flash half written.
bool CommonEvent(const Event& event) {
  if (event.kind == EVENT_SIGNAL && event.value == SIGWINCH) {
    TermOptions size;
    ReadTerminalSize(&size);
    g_port->Resize(size.columns, size.rows);
    return true;
  }
  if (event.kind == EVENT_SIGNAL && event.value == SIGTSTP) {
    if (g_port->RunActive())
      g_port->SetNote(TEXT_HELD_OFF);
    else
      StopUntilContinued();
    return true;
  }
  if ((event.kind == EVENT_SIGNAL && IsInterrupt(event.value)) || IsQuit(event)) {
    if (g_port->RunActive()) {
      g_port->SetNote(TEXT_HELD_OFF);
      return true;
    }
    g_port->Quit(event.kind == EVENT_SIGNAL ? SIGNAL_EXIT_BASE + event.value : 0, g_workerRunning);
  }
  if (IsEnter(event) && g_port->AnswerBox()) return true;
  return false;
}
