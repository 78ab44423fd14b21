// Process start of the terminal program: options, then the phases of a run in their order: the
// device search, giving up root, the update check, the questions and the update run.
#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "app/app_state.h"
#include "app/messages.h"
#include "base/strings.h"
#include "files/catalogue.h"
#include "ui/term/device_watch_term.h"
#include "ui/term/privileges.h"
#include "ui/term/term_loop.h"
#include "ui/term/term_text.h"
#include "ui/term/term_ui.h"
#include "workflow/identify.h"
#include "workflow/run_images.h"
#include "workflow/session.h"
#include "workflow/update_run.h"

namespace {

constexpr int SEARCH_PERIOD_MS = 1000;

constexpr char TEXT_SEARCH_PROMPT[] = "按 q 離開.";
constexpr char TEXT_CHOOSE_PROMPT[] = "按 1-%d 選擇版本, Enter 開始更新, q 離開.";
constexpr char TEXT_START_PROMPT[] = "按 Enter 開始更新, q 離開.";
constexpr char TEXT_RUNNING[] = "更新中, 請勿移除測速器.";
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
constexpr char CAPTION_PRIVILEGES[] = "權限錯誤";
constexpr char TEXT_PRIVILEGES[] = "無法由 root 改為執行 sudo 的使用者, 不會以 root 下載更新檔.\n";
constexpr char FORMAT_BAD_SELECT[] = "須為 1 到 %d 的整數, 不是 %s.";
constexpr char TEXT_UNKNOWN_ARGUMENT[] = "不認得:";
constexpr char TEXT_BAD_OPTION[] = "的值不對或缺少.";
constexpr char TEXT_SEE_HELP[] = "選項說明: tolvarin --help";
// Only ASCII can be trusted where the locale cannot show the program's own texts.
constexpr char NOTICE_CHARSET[] =
    "tolvarin: the character set of this locale (%s) cannot show the program's Traditional "
    "Chinese texts; they appear as '?'. A UTF-8 or Big5 locale shows them (LANG=zh_TW.UTF-8).\n";

struct Options {
  bool force = false;
  int select = 0;
  bool yes = false;
};

CTermUiPort* g_port = nullptr;

void OnRemoved() {
  g_port->DeviceRemoved();
}

std::string Printf(const char* format, int a, int b = 0) {
  char text[256];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

// --select's value: a line number the version list can have.
std::string CheckSelect(const std::string& value) {
  char* end = nullptr;
  errno = 0;
  long line = std::strtol(value.c_str(), &end, 10);
  if (!value.empty() && *end == 0 && errno == 0 && line >= 1 && line <= MAX_CATALOGUE_ENTRIES)
    return "";
  char text[256];
  std::snprintf(text, sizeof text, FORMAT_BAD_SELECT, MAX_CATALOGUE_ENTRIES,
                TerminalSafe(value).c_str());
  return text;
}

// Option errors in the program's language, short: the option and what it takes.
std::string OptionErrorText(const CLI::App* app, const CLI::Error& error) {
  std::string text;
  std::string what = error.what();
  if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
    text = TEXT_UNKNOWN_ARGUMENT;
    for (const std::string& argument : app->remaining()) text += " " + TerminalSafe(argument);
  } else if (dynamic_cast<const CLI::ValidationError*>(&error) != nullptr) {
    text = what;  // "--select: " and the validator's own text
  } else {
    size_t colon = what.find(':');
    text = what.rfind("-", 0) == 0 && colon != std::string::npos
               ? TerminalSafe(what.substr(0, colon)) + " " + TEXT_BAD_OPTION
               : CAPTION_USAGE;
  }
  return std::string("tolvarin: ") + text + "\n" + TEXT_SEE_HELP + "\n";
}

int ParseOptions(int argc, char** argv, Options* options) {
  CLI::App app("Tolvarin: 更新測速器的韌體.", "tolvarin");
  app.add_flag("-f,--force", options->force, "強制更新: 提供所有版本, 不比較版本");
  app.add_option("-s,--select", options->select, "選擇第 N 個版本 (由 1 起算)")
      ->check(CLI::Validator(CheckSelect, "1-" + std::to_string(MAX_CATALOGUE_ENTRIES)));
  app.add_flag("-y,--yes", options->yes, "不詢問 (腳本用): 找到測速器後直接開始更新");
  app.set_version_flag("-V,--version", std::string("tolvarin ") + TOLVARIN_VERSION);
  app.failure_message(OptionErrorText);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    std::ostringstream out, err;
    int status = app.exit(error, out, err);
    std::fputs(ToTerminalCharset(out.str()).c_str(), stdout);
    std::fputs(ToTerminalCharset(err.str()).c_str(), stderr);
    return status == 0 ? 0 : TERM_EXIT_USAGE;
  }
  return -1;
}

// Says so, once, where the locale's character set cannot show the program's own texts.
void TellWhenTextsCannotShow() {
  if (TerminalIsUtf8()) return;
  bool lost = false;
  ToTerminalCharset(TermUtf8(StringTableText(STR_DEVICE_GROUP)) + TermUtf8(CAPTION_DONE) +
                        TermUtf8(TEXT_DONE) + TEXT_RUNNING,
                    &lost);
  if (lost) std::fprintf(stderr, NOTICE_CHARSET, TerminalCharset().c_str());
}

// A standard descriptor the program was started without is opened on /dev/null: otherwise the
// next file opened (the device, say) would take its number and receive what is meant for it. A
// closed input then reads as its end.
void KeepStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != fd)
      std::exit(TERM_EXIT_USAGE);
}

// Searches once a second until the device is found and opened; q or an interrupt ends the program.
void SearchDevice() {
  if (InputOpen()) g_port->SetPrompt(TEXT_SEARCH_PROMPT);
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
      std::snprintf(text, sizeof text, TEXT_ACCESS, TerminalSafe(node).c_str());
      g_port->PrintBox(CAPTION_ACCESS, text);
    }
  }
  g_port->SetPrompt("");
}

// Gives up root (sudo) or raised ids now that the device is open, before anything is downloaded.
void DropRoot() {
  std::string why;
  if (DropSudoRoot(&why) != PRIVILEGES_FAILED) return;
  g_port->PrintBox(CAPTION_PRIVILEGES, TEXT_PRIVILEGES + why);
  g_port->EndProcess(TERM_EXIT_ERROR_BOX);
}

// Runs job on a worker while the loop answers its boxes and takes the signals; returns once it is
// done. The worker is joined, so that nothing of it (its libraries' per-thread state included) is
// left when the program goes on or ends.
void WhileWorkerRuns(const std::function<void()>& job) {
  SetWorkerRunning(true);
  std::thread worker([&job] {
    job();
    SetWorkerRunning(false);
    Wake();
  });
  for (;;) {
    Event event = WaitEvent(-1);
    if (event.kind == EVENT_WAKE) break;
    CommonEvent(event);
  }
  worker.join();
}

// The update check: the device's identity, the index files, the version list.
void WaitForIdentification() {
  WhileWorkerRuns(IdentifyDevice);
}

// Start's own check of the power (the low-battery box when it refuses). true: the run may start.
bool PowerAllowsStart() {
  bool allowed = false;
  WhileWorkerRuns([&allowed] { allowed = PowerAllowsRun(); });
  return allowed;
}

void NoAnswer() {
  g_port->PrintBox(CAPTION_USAGE, TEXT_NO_ANSWER);
  g_port->EndProcess(TERM_EXIT_USAGE);
}

// The version choice and the confirmation, then the power check: on a low battery the box, and
// interactively the question again (the charger may be plugged in meanwhile); with --yes the
// program ends. Returns when the run is to start.
void AskToStart(const Options& options) {
  int lines = g_port->ListLength();
  if (options.select > 0) {
    if (options.select > lines) {
      g_port->PrintBox(CAPTION_USAGE, Printf(TEXT_NO_SUCH_LINE, options.select, lines));
      g_port->EndProcess(TERM_EXIT_USAGE);
    }
    g_app.ui->ComboSelect(options.select - 1);
    NoteSelectionChanged();
  }
  if (options.yes) {
    if (!PowerAllowsStart()) g_port->EndProcess(TERM_EXIT_ERROR_BOX);
    return;
  }
  if (!InputOpen()) NoAnswer();
  // One line is chosen already: there is nothing to pick.
  std::string prompt = lines > 1 ? Printf(TEXT_CHOOSE_PROMPT, lines) : TEXT_START_PROMPT;
  g_port->SetPrompt(prompt);
  for (;;) {
    if (!InputOpen()) NoAnswer();
    Event event = WaitEvent(-1);
    if (CommonEvent(event)) continue;
    if (IsEnter(event)) {
      if (PowerAllowsStart()) break;
      g_port->SetPrompt(prompt);
      continue;
    }
    if (event.kind == EVENT_KEY && event.value >= '0' && event.value <= '9') {
      int line = event.value - '0';
      if (line >= 1 && line <= lines) {
        g_app.ui->ComboSelect(line - 1);
        NoteSelectionChanged();
        g_port->SetPrompt(prompt);
      } else {
        g_port->SetPrompt(Printf(TEXT_NO_SUCH_LINE, line, lines) + " " + prompt);
      }
    }
  }
}

[[noreturn]] void RunAndWait() {
  g_app.runStarted = 1;
  SetWorkerRunning(true);
  g_port->SetPrompt(TEXT_RUNNING);
  g_port->BeginRun(RunSectorCount(g_app.ui->ComboSelection()));
  std::thread([] { RunUpdate(); }).detach();
  // The run ends the process; until then the loop answers its boxes and holds off interrupts.
  for (;;) CommonEvent(WaitEvent(-1));
}

}  // namespace

int main(int argc, char** argv) {
  KeepStandardDescriptors();
  UseTerminalLocale();
  Options options;
  int parsed = ParseOptions(argc, argv, &options);
  if (parsed >= 0) return parsed;
  if (!SignalsAsEvents()) return TERM_EXIT_USAGE;
  TellWhenTextsCannotShow();

  TermOptions term;
  const char* noColor = std::getenv("NO_COLOR");
  term.plain = !isatty(STDOUT_FILENO) || (noColor != nullptr && *noColor);
  term.interactive = !options.yes;
  ReadTerminalSize(&term);
  // Never destroyed: a worker may still report while the process runs its exit handlers.
  g_port = new CTermUiPort(stdout, term);
  g_app.ui = g_port;
  g_app.hidCmd.io.platform = DefaultDevicePlatform();
  // Registered after the back end exists, so it runs before the back end is torn down.
  std::atexit(CloseDeviceAtExit);
  PrepareTermPlatform();
  // Scripts (--yes) answer nothing: their input is not the program's to read.
  StartLoop(g_port, !options.yes, !term.plain);

  g_app.ui->LoadString(STR_CLASS_NAME, g_app.className, TEXT_CAPACITY);
  g_app.ui->LoadString(STR_SEARCH_FORMAT, g_app.searchFormat, TEXT_CAPACITY);
  if (options.force) g_app.runFlags |= FLAG_FORCE;
  FormatTitle(g_app.textBuffer, TEXT_CAPACITY);
  g_port->Begin(TermUtf8(g_app.textBuffer));

  SearchDevice();
  if (!StartRemovalWatch(OnRemoved)) g_port->SetNote(TEXT_NO_WATCH);
  DropRoot();
  WaitForIdentification();
  // Nothing offered (up to date, say): the status line has said so, and there is nothing to ask.
  if (!g_port->StartEnabled()) g_port->EndProcess(0);
  // The images are fetched while the user decides. Nothing waits for this thread: every way out
  // may end the process while it is inside a download.
  std::thread(PrefetchRunImages).detach();
  AskToStart(options);
  RunAndWait();
}
