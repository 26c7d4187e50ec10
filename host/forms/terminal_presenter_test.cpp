#include "host/forms/terminal_presenter.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "host/forms/forms.h"
#include "host/forms/std_controls.h"

namespace host {
namespace {

// A child process running `body` with the terminal presenter, on a
// pseudo-terminal (or, without one, on a pipe with /dev/null as input).
class TChild {
 public:
  static TChild OnTerminal(const std::function<int()>& body) {
    TChild c;
    c.pid_ = forkpty(&c.fd_, nullptr, nullptr, nullptr);
    if (c.pid_ == 0) Run(body);
    return c;
  }
  static TChild WithoutTerminal(const std::function<int()>& body) {
    TChild c;
    int p[2];
    if (pipe(p) != 0) return c;
    c.pid_ = fork();
    if (c.pid_ == 0) {
      const int null = open("/dev/null", O_RDONLY);
      dup2(null, 0);
      dup2(p[1], 1);
      close(p[0]);
      Run(body);
    }
    close(p[1]);
    c.fd_ = p[0];
    return c;
  }
  TChild(TChild&& o) noexcept : pid_(o.pid_), fd_(o.fd_), out_(std::move(o.out_)) { o.pid_ = -1, o.fd_ = -1; }
  ~TChild() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }

  // Reads until `what` has appeared (true) or ten seconds pass.
  bool WaitFor(const std::string& what) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (out_.find(what, seen_) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd pfd{fd_, POLLIN, 0};
      if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[512];
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) return out_.find(what, seen_) != std::string::npos;
      out_.append(buf, static_cast<size_t>(n));
    }
    seen_ = out_.find(what, seen_) + what.size();
    return true;
  }
  void Send(const std::string& s) { ASSERT_EQ(write(fd_, s.data(), s.size()), static_cast<ssize_t>(s.size())); }
  // The exit code, reading the rest of the output.
  // A child that has not ended ten seconds after its output did is killed
  // (-1), so that a fault shows as a failure rather than a hang.
  int Wait() {
    WaitFor("\x01never\x01");
    int status = 0;
    for (int i = 0; i < 1000; ++i) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      usleep(10000);
    }
    return -1;
  }
  const std::string& Output() const { return out_; }

 private:
  TChild() = default;
  [[noreturn]] static void Run(const std::function<int()>& body) {
    int code = 2;
    try {
      code = body();
    } catch (const std::exception& e) {
      std::printf("ERROR: %s\n", e.what());
    }
    std::fflush(stdout);
    _exit(code);
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  std::string out_;
  size_t seen_ = 0;
};

void Say(const std::string& s) {
  std::fputs(s.c_str(), stdout);
  std::fflush(stdout);
}

// A page: a label, a check box, an edit and Back, Next and Cancel buttons.
TForm* MakePage(TComponent* owner) {
  TForm* f = New<TForm>(owner);
  f->SetName("Page");
  f->SetCaption("Choose");
  auto add = [&](TControl* c, const char* name, const char* caption) {
    c->SetName(name);
    c->SetCaption(caption);
    c->SetParent(f);
    return c;
  };
  add(new TLabel(f), "Intro", "Pick what to install");
  add(new TCheckBox(f), "D7CB", "Delphi 7");
  add(new TEdit(f), "PathEdit", "");
  add(new TButton(f), "BackBtn", "< Back");
  auto* next = static_cast<TButton*>(add(new TButton(f), "ProceedBtn", "Next >"));
  next->SetDefault(true);
  next->SetModalResult(mrOk);
  auto* cancel = static_cast<TButton*>(add(new TButton(f), "CancelBtn", "Cancel"));
  cancel->SetCancel(true);
  cancel->SetModalResult(mrCancel);
  return f;
}

std::string Hex(const std::string& s) {
  std::string out;
  char b[4];
  for (unsigned char c : s) {
    std::snprintf(b, sizeof b, "%02X", c);
    out += b;
  }
  return out;
}

int RunPage() {
  TApplication app;
  app.SetPresenter(std::make_unique<TTerminalPresenter>());
  TForm* page = MakePage(&app);
  const TModalResult r = page->ShowModal();
  Say("RESULT " + std::to_string(r) + " " + Hex(Child<TEdit>(*page, "PathEdit").Text()) + " " +
      (Child<TCheckBox>(*page, "D7CB").Checked() ? "checked" : "unchecked") + "\n");
  return 0;
}

TEST(TerminalPresenter, PromptsTypingAndNextOnAPseudoTerminal) {
  TChild child = TChild::OnTerminal(RunPage);
  ASSERT_TRUE(child.WaitFor("Enter for the default: ")) << child.Output();
  for (const char* part : {"== Choose ==", "Pick what to install", " 1) [ ] Delphi 7", " 2) []",
                           "b Back", "n Next >", "c Cancel"})
    EXPECT_NE(child.Output().find(part), std::string::npos) << part << "\n" << child.Output();
  child.Send("1\n");
  ASSERT_TRUE(child.WaitFor("1) [x] Delphi 7")) << child.Output();
  child.Send("2\n");
  ASSERT_TRUE(child.WaitFor("New text: "));
  child.Send("C:\\M\xC3\xBC\x6C\x6C\xE2\x82\xAC\n");  // "Müll€" in UTF-8
  ASSERT_TRUE(child.WaitFor("Enter for the default: "));
  EXPECT_NE(child.Output().find("[C:\\M\xC3\xBC" "ll\xE2\x82\xAC]"), std::string::npos) << child.Output();
  child.Send("n\n");
  ASSERT_TRUE(child.WaitFor("RESULT ")) << child.Output();
  // Windows-1252 bytes in the edit: FC for the u umlaut, 80 for the euro.
  EXPECT_TRUE(child.WaitFor("1 433A5C4DFC6C6C80 checked")) << child.Output();
  EXPECT_EQ(child.Wait(), 0);
}

TEST(TerminalPresenter, CtrlCCancelsTheWaitingForm) {
  TChild child = TChild::OnTerminal(RunPage);
  ASSERT_TRUE(child.WaitFor("Enter for the default: ")) << child.Output();
  child.Send("\x03");
  ASSERT_TRUE(child.WaitFor("RESULT " + std::to_string(mrCancel))) << child.Output();
  EXPECT_EQ(child.Wait(), 0);
}

// A copy loop: a progress form that does not wait, ProcessMessages between steps.
int RunCopy(int steps, int pauseMs) {
  TApplication app;
  app.SetPresenter(std::make_unique<TTerminalPresenter>());
  TForm* f = New<TForm>(&app);
  f->SetCaption("Copying");
  auto* bar = new TProgressBar(f);
  bar->SetParent(f);
  auto* cancel = new TButton(f);
  cancel->SetName("CancelBtn");
  cancel->SetParent(f);
  cancel->SetModalResult(mrCancel);
  bool cancelled = false;
  cancel->OnClick = [&](TObject*) { cancelled = true; };
  f->Show();
  Say("READY\n");
  for (int i = 1; i <= steps && !cancelled; ++i) {
    bar->SetPosition(i * 100 / steps);
    app.ProcessMessages();
    usleep(static_cast<useconds_t>(pauseMs) * 1000);
  }
  Say(cancelled ? "CANCELLED\n" : "DONE\n");
  // Asking now: no terminal means an error at once, never a wait.
  f->Hide();
  f->ShowModal();
  return 0;
}

TEST(TerminalPresenter, ProgressIsOneLineRedrawnOnATerminal) {
  TChild child = TChild::OnTerminal([] { return RunCopy(4, 0) + 1; });
  ASSERT_TRUE(child.WaitFor("DONE")) << child.Output();
  EXPECT_NE(child.Output().find("\rCopying [###############...............] 50%\x1b[K"), std::string::npos)
      << child.Output();
  EXPECT_NE(child.Output().find("[##############################] 100%"), std::string::npos);
  child.Send("\x03");  // the form then waits; Ctrl-C closes it
  EXPECT_EQ(child.Wait(), 1);
}

TEST(TerminalPresenter, CtrlCDuringACopyCancelsAtProcessMessages) {
  TChild child = TChild::OnTerminal([] { return RunCopy(1000, 10); });
  ASSERT_TRUE(child.WaitFor("READY")) << child.Output();
  child.Send("\x03");
  EXPECT_TRUE(child.WaitFor("CANCELLED")) << child.Output();
}

TEST(TerminalPresenter, WithoutATerminalProgressIsPlainLinesAndAskingFailsAtOnce) {
  TChild child = TChild::WithoutTerminal([] { return RunCopy(4, 0); });
  EXPECT_EQ(child.Wait(), 2);
  const std::string& out = child.Output();
  EXPECT_NE(out.find("Copying 25%\nCopying 50%\nCopying 75%\nCopying 100%\nDONE\n"), std::string::npos) << out;
  EXPECT_NE(out.find("ERROR: There is no terminal to ask the user on, and no answers were given"),
            std::string::npos)
      << out;
}

TEST(TerminalPresenter, CodePagesFollowTheFontCharset) {
  EXPECT_EQ(CodePageToUtf8("\x80\xFC", ANSI_CHARSET), "\xE2\x82\xAC\xC3\xBC");
  EXPECT_EQ(CodePageToUtf8("\xC4\xE0", RUSSIAN_CHARSET), "\xD0\x94\xD0\xB0");  // "Да"
  EXPECT_EQ(Utf8ToCodePage("\xD0\x94\xD0\xB0", RUSSIAN_CHARSET), "\xC4\xE0");
  EXPECT_EQ(CodePageToUtf8("\x82\xA0", SHIFTJIS_CHARSET), "\xE3\x81\x82");  // hiragana a
  // What has no counterpart becomes '?', a cut sequence too.
  EXPECT_EQ(Utf8ToCodePage("a\xE3\x81\x82z", ANSI_CHARSET), "a???z");
  EXPECT_EQ(Utf8ToCodePage("a\xC3", ANSI_CHARSET), "a?");
  EXPECT_EQ(CodePageToUtf8("\x81", ANSI_CHARSET), "?");
}

}  // namespace
}  // namespace host
