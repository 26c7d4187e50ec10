// TTerminalPresenter: the default user, a person at a terminal.
//
// A form waiting for the user is drawn as a text screen: its caption, the
// texts it shows, and its controls numbered; the user types a number (then,
// for an edit, the new text; for a list, an item), "b", "n" or "c" for the
// Back, Next and Cancel buttons, Enter alone for the default button. Message
// boxes and folder browses ask on the terminal the same way. Progress bars
// of forms that do not wait are drawn as one line redrawn in place when the
// output is a terminal, as plain lines (one per whole percent) otherwise.
//
// Ctrl-C cancels the current form: its Cancel button is clicked (or it is
// closed), at once while it waits, else at the next ProcessMessages. The
// presenter holds the SIGINT handler from its construction to its end.
//
// Texts are code-page bytes; each is converted to UTF-8 for the terminal by
// its form's font charset, and what the user types back from UTF-8 (iconv,
// with explicit code page names; never the locale).
//
// With no terminal on the input, asking anything raises EPresenterError at
// once (never a wait); showing progress still works.
#pragma once

#include <signal.h>

#include <cstdint>
#include <map>
#include <string>

#include "host/forms/presenter.h"

namespace host {

// Converts between a charset's code page (graphics.h, CharsetCodePage) and
// UTF-8. A byte or sequence that has no counterpart becomes '?'.
std::string CodePageToUtf8(const std::string& text, uint8_t charset);
std::string Utf8ToCodePage(const std::string& text, uint8_t charset);

class TTerminalPresenter : public TPresenter {
 public:
  // Reads from `inFd`, writes to `outFd`.
  explicit TTerminalPresenter(int inFd = 0, int outFd = 1);
  ~TTerminalPresenter() override;
  TTerminalPresenter(const TTerminalPresenter&) = delete;
  TTerminalPresenter& operator=(const TTerminalPresenter&) = delete;

  void FormShown(TCustomForm& form, bool modal) override;
  void FormHidden(TCustomForm& form) override;
  void ControlChanged(TControl& control) override;
  void ControlGone(TControl& control) override;
  TUserAction WaitAction(TCustomForm& form) override;
  bool PendingAction(TUserAction& action) override;
  int MessageBox(const std::string& text, const std::string& caption, int flags) override;
  bool BrowseForFolder(const std::string& title, std::string& path) override;

 private:
  void Write(const std::string& utf8);
  void EndProgressLine();
  void CheckInput() const;
  // A line from the user (without its end), false on Ctrl-C. Raises
  // EPresenterError when the input closes.
  bool ReadLine(std::string& line);
  TUserAction CancelAction(TCustomForm& form) const;

  int in_;
  int out_;
  bool out_is_tty_;
  bool progress_line_open_ = false;
  std::map<TControl*, int> percents_;  // progress bars drawn
  struct sigaction saved_ {};
};

}  // namespace host
