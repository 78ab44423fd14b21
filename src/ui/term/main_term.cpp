// Process start of the terminal program: options, the device search, the questions and the run.
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/app_state.h"
#include "app/messages.h"
#include "base/strings.h"
#include "ui/term/device_watch_term.h"
#include "ui/term/term_text.h"
#include "ui/term/term_ui.h"
#include "workflow/identify.h"
#include "workflow/session.h"
#include "workflow/update_run.h"

namespace {

constexpr int SEARCH_PERIOD_MS = 1000;
constexpr int SIGNAL_EXIT_BASE = 128;

constexpr char TEXT_SEARCH_PROMPT[] = "按 q 離開.";
constexpr char TEXT_CHOOSE_PROMPT[] = "按 1-%d 選擇版本, Enter 開始更新, q 離開.";
constexpr char TEXT_START_PROMPT[] = "按 Enter 開始更新, q 離開.";
constexpr char TEXT_RUNNING[] = "更新中, 請勿移除測速器.";
constexpr char TEXT_HELD_OFF[] = "更新中, 不能中斷! 請等待更新完成.";
constexpr char TEXT_NO_WATCH[] = "無法監看測速器的移除.";
constexpr char CAPTION_ACCESS[] = "權限不足";
constexpr char TEXT_ACCESS[] =
    "無法以讀寫方式開啟 %s.\n"
    "請安裝 udev 規則 70-tolvarin.rules\n"
    "(/usr/lib/udev/rules.d/70-tolvarin.rules),\n"
    "執行 sudo udevadm control --reload 後重新連接測速器;\n"
    "或以 sudo tolvarin 執行.";
constexpr char CAPTION_USAGE[] = "選項錯誤";
constexpr char TEXT_NO_SUCH_LINE[] = "沒有第 %d 個版本 (共 %d 個).";
constexpr char TEXT_NO_ANSWER[] = "沒有輸入可以確認開始更新.\n腳本請加上 --yes.";

struct Options {
  bool force = false;
  int select = 0;
  bool yes = false;
};

enum EventKind { EVENT_TIMEOUT, EVENT_KEY, EVENT_INPUT_CLOSED, EVENT_SIGNAL, EVENT_WAKE };
struct Event {
  EventKind kind;
  int value;
};

CTermUiPort* g_port = nullptr;
// Set while a worker (identification or the run) may be using the device.
std::atomic<bool> g_workerRunning{false};
int g_signalFd = -1;
int g_wake[2] = {-1, -1};
bool g_inputOpen = true;
termios g_savedTermios;
bool g_termiosSaved = false;

void RestoreTerminal() {
  if (g_termiosSaved) tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTermios);
}

void OnRemoved() {
  g_port->DeviceRemoved();
}

// Keys arrive one at a time, unechoed; Ctrl-C still raises SIGINT, which the loop reads.
void KeysWithoutEnter() {
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &g_savedTermios) != 0) return;
  g_termiosSaved = true;
  std::atexit(RestoreTerminal);
  std::at_quick_exit(RestoreTerminal);
  termios keys = g_savedTermios;
  keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  keys.c_cc[VMIN] = 1;
  keys.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &keys);
}

// Interrupts reach the loop as events, on every thread alike, so that the run can hold them off.
bool SignalsAsEvents() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
  g_signalFd = signalfd(-1, &set, SFD_CLOEXEC);
  std::signal(SIGPIPE, SIG_IGN);
  return g_signalFd >= 0 && pipe(g_wake) == 0;
}

void Wake() {
  char byte = 1;
  if (write(g_wake[1], &byte, 1) < 0) return;
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
  if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
    char key;
    if (read(STDIN_FILENO, &key, 1) != 1) {
      g_inputOpen = false;
      g_port->StopWaiting();
      return {EVENT_INPUT_CLOSED, 0};
    }
    return {EVENT_KEY, static_cast<unsigned char>(key)};
  }
  return {EVENT_TIMEOUT, 0};
}

bool IsEnter(const Event& event) {
  return event.kind == EVENT_KEY && (event.value == '\n' || event.value == '\r');
}

bool IsQuit(const Event& event) {
  return event.kind == EVENT_KEY && (event.value == 'q' || event.value == 'Q');
}

// What every phase does with an interrupt, a box's Enter and q. Returns true when it took the
// event. During the run interrupts and q are held off with a warning, as Exit is disabled then.
bool CommonEvent(const Event& event) {
  if (event.kind == EVENT_SIGNAL || IsQuit(event)) {
    if (g_port->RunActive()) {
      g_port->SetNote(TEXT_HELD_OFF);
      return true;
    }
    g_port->Quit(event.kind == EVENT_SIGNAL ? SIGNAL_EXIT_BASE + event.value : 0, g_workerRunning);
  }
  if (IsEnter(event) && g_port->AnswerBox()) return true;
  return false;
}

std::string Printf(const char* format, int a, int b = 0) {
  char text[256];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

// Searches once a second until the device is found and opened; q or an interrupt ends the program.
void SearchDevice() {
  g_port->SetPrompt(TEXT_SEARCH_PROMPT);
  ShowSearchCount();
  std::string deniedNode;
  auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(SEARCH_PERIOD_MS);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        next - std::chrono::steady_clock::now());
    Event event = WaitEvent(left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (event.kind != EVENT_TIMEOUT) {
      CommonEvent(event);
      continue;
    }
    if (std::chrono::steady_clock::now() < next) continue;
    next += std::chrono::milliseconds(SEARCH_PERIOD_MS);
    if (SearchTick()) break;
    // Told once per device file: the search goes on, so that a re-plug after adding the rule works.
    std::string node;
    if (DeviceAccessDenied(&node) && node != deniedNode) {
      deniedNode = node;
      char text[512];
      std::snprintf(text, sizeof text, TEXT_ACCESS, node.c_str());
      g_port->PrintBox(CAPTION_ACCESS, text);
    }
  }
  g_port->SetPrompt("");
}

// Waits for the update check; its boxes are answered here. The worker is joined, so that nothing
// of it (its libraries' per-thread state included) is left when the program goes on or ends.
void WaitForIdentification() {
  g_workerRunning = true;
  std::thread worker([] {
    IdentifyDevice();
    g_workerRunning = false;
    Wake();
  });
  for (;;) {
    Event event = WaitEvent(-1);
    if (event.kind == EVENT_WAKE) break;
    CommonEvent(event);
  }
  worker.join();
}

// The version choice and the confirmation. Returns when the run is to start.
void AskToStart(const Options& options) {
  int lines = g_port->ListLength();
  if (options.select > 0) {
    if (options.select > lines) {
      g_port->PrintBox(CAPTION_USAGE, Printf(TEXT_NO_SUCH_LINE, options.select, lines));
      g_port->EndProcess(TERM_EXIT_USAGE);
    }
    g_app.ui->ComboSelect(options.select - 1);
  }
  if (options.yes) return;
  g_port->SetPrompt(lines > 0 ? Printf(TEXT_CHOOSE_PROMPT, lines) : TEXT_START_PROMPT);
  for (;;) {
    Event event = WaitEvent(-1);
    if (CommonEvent(event)) continue;
    if (IsEnter(event)) break;
    if (event.kind == EVENT_KEY && event.value >= '1' && event.value < '1' + lines)
      g_app.ui->ComboSelect(event.value - '1');
    if (event.kind == EVENT_INPUT_CLOSED) {
      g_port->PrintBox(CAPTION_USAGE, TEXT_NO_ANSWER);
      g_port->EndProcess(TERM_EXIT_USAGE);
    }
  }
}

[[noreturn]] void RunAndWait() {
  g_app.runStarted = 1;
  g_workerRunning = true;
  g_port->SetPrompt(TEXT_RUNNING);
  g_port->BeginRun(RunSectorCount(g_app.ui->ComboSelection()));
  std::thread([] { RunUpdate(); }).detach();
  // The run ends the process; until then the loop answers its boxes and holds off interrupts.
  for (;;) CommonEvent(WaitEvent(-1));
}

int ParseOptions(int argc, char** argv, Options* options) {
  CLI::App app("Tolvarin: 更新測速器的韌體.", "tolvarin");
  app.add_flag("-f,--force", options->force, "強制更新: 提供所有版本, 不比較版本");
  app.add_option("-s,--select", options->select, "選擇第 N 個版本 (由 1 起算)")
      ->check(CLI::PositiveNumber);
  app.add_flag("-y,--yes", options->yes, "不詢問 (腳本用): 找到測速器後直接開始更新");
  app.set_version_flag("-V,--version", std::string("tolvarin ") + TOLVARIN_VERSION);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    int status = app.exit(error);
    return status == 0 ? 0 : TERM_EXIT_USAGE;
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  UseUtf8Locale();
  Options options;
  int parsed = ParseOptions(argc, argv, &options);
  if (parsed >= 0) return parsed;
  if (!SignalsAsEvents()) return TERM_EXIT_USAGE;

  TermOptions term;
  const char* noColor = std::getenv("NO_COLOR");
  term.plain = !isatty(STDOUT_FILENO) || (noColor != nullptr && *noColor);
  term.interactive = !options.yes;
  winsize size;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) term.columns = size.ws_col;
  // Never destroyed: a worker may still report while the process runs its exit handlers.
  g_port = new CTermUiPort(stdout, term);
  g_app.ui = g_port;
  g_app.hidCmd.io.platform = DefaultDevicePlatform();
  // Registered after the back end exists, so it runs before the back end is torn down.
  std::atexit(CloseDeviceAtExit);
  PrepareTermPlatform();
  KeysWithoutEnter();

  g_app.ui->LoadString(STR_CLASS_NAME, g_app.className, TEXT_CAPACITY);
  g_app.ui->LoadString(STR_SEARCH_FORMAT, g_app.searchFormat, TEXT_CAPACITY);
  if (options.force) g_app.runFlags |= FLAG_FORCE;
  FormatTitle(g_app.textBuffer, TEXT_CAPACITY);
  g_port->Begin(TermUtf8(g_app.textBuffer));

  SearchDevice();
  if (!StartRemovalWatch(OnRemoved)) g_port->SetNote(TEXT_NO_WATCH);
  WaitForIdentification();
  // Nothing offered (up to date, say): the status line has said so, and there is nothing to ask.
  if (!g_port->StartEnabled()) g_port->EndProcess(0);
  AskToStart(options);
  RunAndWait();
}
