#include "host/forms/terminal_presenter.h"

#include <errno.h>
#include <iconv.h>
#include <unistd.h>

#include <cstring>

#include "host/forms/forms.h"
#include "host/forms/std_controls.h"
#include "host/rtl/sys_utils.h"

namespace host {

namespace {

volatile sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) { g_interrupted = 1; }

std::string Convert(const std::string& text, const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) throw EConvertError(std::string("No conversion from ") + from + " to " + to);
  std::string out;
  out.reserve(text.size() * 2);
  char buf[256];
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  while (inLeft > 0) {
    char* o = buf;
    size_t oLeft = sizeof buf;
    const size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buf, static_cast<size_t>(o - buf));
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // No counterpart, or a broken or cut sequence: one byte becomes '?'.
      out += '?';
      ++in;
      --inLeft;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return out;
}

uint8_t CharsetOf(const TControl* c) { return c ? c->Font().Charset() : ANSI_CHARSET; }

// What the b, n and c keys stand for, by the usual button names.
TControl* NamedButton(TCustomForm& page, TCustomForm& form, std::initializer_list<const char*> names) {
  for (TCustomForm* f : {&page, &form})
    for (const char* n : names)
      if (auto* c = dynamic_cast<TButton*>(f->FindComponent(n)); c && c->Showing() && c->Enabled())
        return c;
  return nullptr;
}

TCustomForm* OwnerForm(TControl& c) {
  if (auto* f = dynamic_cast<TCustomForm*>(c.Owner())) return f;
  return c.HostingForm();
}

TUserAction Click(TControl& c) {
  TUserAction a;
  a.Kind = TUserAction::uaClick;
  a.Form = OwnerForm(c);
  a.Control = c.Name();
  return a;
}

}  // namespace

std::string CodePageToUtf8(const std::string& text, uint8_t charset) {
  return Convert(text, "UTF-8", CharsetCodePage(charset));
}

std::string Utf8ToCodePage(const std::string& text, uint8_t charset) {
  return Convert(text, CharsetCodePage(charset), "UTF-8");
}

TTerminalPresenter::TTerminalPresenter(int inFd, int outFd)
    : in_(inFd), out_(outFd), out_is_tty_(isatty(outFd) == 1) {
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a waiting read returns at Ctrl-C
  g_interrupted = 0;
  sigaction(SIGINT, &sa, &saved_);
}

TTerminalPresenter::~TTerminalPresenter() {
  EndProgressLine();
  sigaction(SIGINT, &saved_, nullptr);
}

void TTerminalPresenter::Write(const std::string& utf8) {
  size_t done = 0;
  while (done < utf8.size()) {
    const ssize_t n = ::write(out_, utf8.data() + done, utf8.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // a closed terminal is no reason to stop the work
    }
    done += static_cast<size_t>(n);
  }
}

void TTerminalPresenter::EndProgressLine() {
  if (!progress_line_open_) return;
  progress_line_open_ = false;
  Write("\n");
}

void TTerminalPresenter::CheckInput() const {
  if (isatty(in_) != 1)
    throw EPresenterError(
        "There is no terminal to ask the user on, and no answers were given "
        "(--answers=FILE, --unattended or TAV_ANSWERS)");
}

bool TTerminalPresenter::ReadLine(std::string& line) {
  line.clear();
  for (;;) {
    if (g_interrupted) {
      g_interrupted = 0;
      Write("\n");
      return false;
    }
    char c;
    const ssize_t n = ::read(in_, &c, 1);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EPresenterError(std::string("Cannot read the terminal: ") + std::strerror(errno));
    }
    if (n == 0) throw EPresenterError("The terminal closed its input");
    if (c == '\n') break;
    if (c != '\r') line += c;
    if (line.size() > 4096) throw EPresenterError("A line of more than 4096 bytes from the terminal");
  }
  return true;
}

void TTerminalPresenter::FormShown(TCustomForm&, bool) {}

void TTerminalPresenter::FormHidden(TCustomForm& form) {
  for (auto it = percents_.begin(); it != percents_.end();)
    it = form.ContainsControl(it->first) ? percents_.erase(it) : std::next(it);
  EndProgressLine();
}

void TTerminalPresenter::ControlGone(TControl& control) { percents_.erase(&control); }

void TTerminalPresenter::ControlChanged(TControl& control) {
  auto* bar = dynamic_cast<TProgressBar*>(&control);
  if (!bar || !bar->Showing()) return;
  const int percent = bar->Percent();
  auto [it, fresh] = percents_.try_emplace(&control, -1);
  if (!fresh && it->second == percent) return;
  it->second = percent;
  TCustomForm* form = control.HostingForm();
  const std::string caption = form ? CodePageToUtf8(form->Caption(), CharsetOf(form)) : std::string();
  if (out_is_tty_) {
    const int filled = percent * 30 / 100;
    Write("\r" + caption + " [" + std::string(static_cast<size_t>(filled), '#') +
          std::string(static_cast<size_t>(30 - filled), '.') + "] " + std::to_string(percent) + "%\x1b[K");
    progress_line_open_ = true;
  } else {
    Write(caption + " " + std::to_string(percent) + "%\n");
  }
}

TUserAction TTerminalPresenter::CancelAction(TCustomForm& form) const {
  TCustomForm& page = CurrentPage(form);
  TControl* c = page.CancelButton();
  if (!c) c = NamedButton(page, form, {"CancelBtn"});
  if (c && !c->Name().empty()) return Click(*c);
  TUserAction a;
  a.Kind = TUserAction::uaClose;
  a.Form = &form;
  return a;
}

bool TTerminalPresenter::PendingAction(TUserAction& action) {
  if (!g_interrupted) return false;
  g_interrupted = 0;
  // The form the user sees: the active one, else the newest visible one.
  TCustomForm* form = Screen().ActiveForm();
  for (int i = Screen().FormCount() - 1; i >= 0 && !form; --i)
    if (Screen().Forms(i)->Visible() && !Screen().Forms(i)->Parent()) form = Screen().Forms(i);
  if (!form) {
    Application().Terminate();
    return false;
  }
  EndProgressLine();
  action = CancelAction(*form);
  return true;
}

TUserAction TTerminalPresenter::WaitAction(TCustomForm& form) {
  CheckInput();
  EndProgressLine();
  for (;;) {
    TCustomForm& page = CurrentPage(form);
    const uint8_t cs = CharsetOf(&page);
    std::string screen = "\n== " + CodePageToUtf8(page.Caption().empty() ? form.Caption() : page.Caption(), cs) + " ==\n";
    const std::vector<TShownControl> shown = ShownControls(form);
    std::vector<const TShownControl*> numbered;
    for (const TShownControl& s : shown) {
      const std::string text = CodePageToUtf8(s.Text, CharsetOf(s.Control));
      if (s.Actionable && !s.Control->Name().empty()) {
        numbered.push_back(&s);
        screen += " " + std::to_string(numbered.size()) + ") " + text + "\n";
      } else {
        screen += "    " + text + "\n";
      }
    }
    TControl* back = NamedButton(page, form, {"BackBtn"});
    TControl* next = NamedButton(page, form, {"ProceedBtn", "NextBtn", "FinishBtn", "InstallBtn", "OKBtn"});
    TControl* cancel = page.CancelButton() ? page.CancelButton() : NamedButton(page, form, {"CancelBtn"});
    screen += "Number to choose";
    if (back) screen += ", b Back";
    if (next) screen += ", n " + CodePageToUtf8(next->Caption(), cs);
    if (cancel) screen += ", c Cancel";
    screen += ", Enter for the default: ";
    Write(screen);

    std::string line;
    if (!ReadLine(line)) return CancelAction(form);
    line = Trim(line);
    if (line.empty()) {
      TControl* d = page.DefaultButton() ? page.DefaultButton() : form.DefaultButton();
      if (d && !d->Name().empty()) return Click(*d);
      continue;
    }
    if (line == "b" && back) return Click(*back);
    if (line == "n" && next) return Click(*next);
    if (line == "c" && cancel) return Click(*cancel);
    int32_t n = 0;
    if (!TryStrToInt(line, n) || n < 1 || n > static_cast<int32_t>(numbered.size())) {
      Write("?\n");
      continue;
    }
    TControl& c = *numbered[static_cast<size_t>(n - 1)]->Control;
    TUserAction a = Click(c);
    if (dynamic_cast<TButton*>(&c) || dynamic_cast<TCheckBox*>(&c)) return a;
    if (dynamic_cast<TCustomEdit*>(&c)) {
      Write("New text: ");
      if (!ReadLine(line)) return CancelAction(form);
      a.Kind = TUserAction::uaType;
      a.Value = Utf8ToCodePage(line, CharsetOf(&c));
      return a;
    }
    if (auto* cmb = dynamic_cast<TComboBox*>(&c); cmb && cmb->Style() != csDropDownList) {
      Write("Item number or new text: ");
      if (!ReadLine(line)) return CancelAction(form);
      const std::string value = Utf8ToCodePage(line, CharsetOf(&c));
      a.Kind = ChoiceIndex(cmb->Items(), value) >= 0 ? TUserAction::uaChoose : TUserAction::uaType;
      a.Value = value;
      return a;
    }
    Write("Item number (from 0) or text: ");
    if (!ReadLine(line)) return CancelAction(form);
    a.Kind = TUserAction::uaChoose;
    a.Value = Utf8ToCodePage(Trim(line), CharsetOf(&c));
    return a;
  }
}

int TTerminalPresenter::MessageBox(const std::string& text, const std::string& caption, int flags) {
  CheckInput();
  EndProgressLine();
  const uint8_t cs = CharsetOf(Screen().ActiveForm());
  const std::vector<TMessageButton> buttons = MessageBoxButtons(flags);
  const int def = MessageBoxDefault(flags);
  for (;;) {
    std::string s = "\n-- " + CodePageToUtf8(caption, cs) + " --\n" + CodePageToUtf8(text, cs) + "\n";
    for (size_t i = 0; i < buttons.size(); ++i)
      s += " " + std::to_string(i + 1) + ") " + buttons[i].Name + (buttons[i].Id == def ? " (Enter)" : "") + "\n";
    s += "> ";
    Write(s);
    std::string line;
    if (!ReadLine(line)) {
      for (const TMessageButton& b : buttons)
        if (b.Id == IDCANCEL) return IDCANCEL;
      return def;
    }
    line = Trim(line);
    if (line.empty()) return def;
    int32_t n = 0;
    if (TryStrToInt(line, n) && n >= 1 && n <= static_cast<int32_t>(buttons.size()))
      return buttons[static_cast<size_t>(n - 1)].Id;
    for (const TMessageButton& b : buttons)
      if (SameText(b.Name, line)) return b.Id;
  }
}

bool TTerminalPresenter::BrowseForFolder(const std::string& title, std::string& path) {
  CheckInput();
  EndProgressLine();
  const uint8_t cs = CharsetOf(Screen().ActiveForm());
  Write("\n-- " + CodePageToUtf8(title, cs) + " --\nFolder [" + CodePageToUtf8(path, cs) + "]: ");
  std::string line;
  if (!ReadLine(line)) return false;
  line = Trim(line);
  if (!line.empty()) path = Utf8ToCodePage(line, cs);
  return true;
}

}  // namespace host
