// TPresenter: what stands between the headless forms and a user.
//
// The forms keep all the logic; a presenter only shows and asks. It hears
// when a form is shown or hidden and when a control changes, answers message
// boxes and folder browses, and hands the application the user's actions
// (TUserAction: click, check, choose, type, close) for it to apply: WaitAction
// while a form is modal (or the main form runs), PendingAction at every
// ProcessMessages. Two presenters are always there: the scripted one
// (answers from a file or switches, for tests and unattended runs) and the
// terminal one (for a person at a terminal). A program may link more, which
// register a factory under their name at start-up (RegisterPresenter): the
// windowed one (host/forms_window) does, as "window".
//
// Choosing one: start-up hands the program's arguments to
// TakePresenterOptions, which takes off the "--" options below (the
// installer refuses unknown "-x" arguments, so these never reach it), then
// CreatePresenter. The environment may give the same, for a resumed run
// whose command line is fixed; arguments win.
//   --presenter=terminal|scripted|<registered name>   TAV_PRESENTER
//   --answers=FILE                  TAV_ANSWERS     (implies scripted)
//   --answer=SECTION:LINE           (repeatable; a line of the answers file)
//   --unattended                    TAV_UNATTENDED=1 (implies scripted)
//   --strict                        TAV_STRICT=1     (unanswered forms fail)
//   --transcript=FILE               TAV_TRANSCRIPT
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/rtl/exceptions.h"

namespace host {

class TCustomForm;
class TControl;

// A presenter cannot do what it was asked: no terminal and no answers, an
// answer naming a control the form lacks, a form left unanswered in strict
// mode. The message says which form and what.
class EPresenterError : public Exception {
 public:
  using Exception::Exception;
};

struct TUserAction {
  enum TKind { uaNone, uaClick, uaCheck, uaChoose, uaType, uaClose };
  TKind Kind = uaNone;
  TCustomForm* Form = nullptr;  // the form the control is found in
  std::string Control;          // its name (uaClose: none)
  std::string Value;            // uaCheck "1"/"0", uaChoose index or item text, uaType text
};

// Message box flags and answers, as the platform numbers them.
inline constexpr int MB_OK = 0x0;
inline constexpr int MB_OKCANCEL = 0x1;
inline constexpr int MB_ABORTRETRYIGNORE = 0x2;
inline constexpr int MB_YESNOCANCEL = 0x3;
inline constexpr int MB_YESNO = 0x4;
inline constexpr int MB_RETRYCANCEL = 0x5;
inline constexpr int MB_ICONERROR = 0x10;
inline constexpr int MB_ICONQUESTION = 0x20;
inline constexpr int MB_ICONWARNING = 0x30;
inline constexpr int MB_ICONINFORMATION = 0x40;
inline constexpr int MB_DEFBUTTON2 = 0x100;
inline constexpr int MB_DEFBUTTON3 = 0x200;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDABORT = 3;
inline constexpr int IDRETRY = 4;
inline constexpr int IDIGNORE = 5;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// The answers a box of these flags offers, in order ("OK", "Cancel", ...),
// with their ids; and the one it takes by default.
struct TMessageButton {
  const char* Name;
  int Id;
};
std::vector<TMessageButton> MessageBoxButtons(int flags);
int MessageBoxDefault(int flags);

class TPresenter {
 public:
  virtual ~TPresenter() = default;

  // A form became visible (modal: shown by ShowModal) or hidden, or is
  // freed; a presenter drops what it knows of it.
  virtual void FormShown(TCustomForm& form, bool modal) { (void)form, (void)modal; }
  virtual void FormHidden(TCustomForm& form) { (void)form; }
  virtual void FormGone(TCustomForm& form) { (void)form; }
  // Something a user could see changed (a caption, a check, a progress
  // position). Called often: keep it cheap.
  virtual void ControlChanged(TControl& control) { (void)control; }
  virtual void ControlGone(TControl& control) { (void)control; }

  // The user's next action for the modal (or running main) form `form`,
  // waiting for it. Raises EPresenterError when there is no one to ask.
  virtual TUserAction WaitAction(TCustomForm& form) = 0;
  // An action ready now for any shown form; never waits.
  virtual bool PendingAction(TUserAction& action) = 0;

  // IDOK, IDCANCEL, ... for the buttons `flags` offer.
  virtual int MessageBox(const std::string& text, const std::string& caption, int flags) = 0;
  // A folder chosen starting at `path`: true and the folder in `path`, or
  // false when cancelled.
  virtual bool BrowseForFolder(const std::string& title, std::string& path) = 0;
};

// What a presenter shows of a form: its showing controls, in order, each
// with the text a user sees (a check box "[x] Caption", an edit its text, a
// radio group its caption and items with the chosen one marked "(*)").
// Actionable: enabled and something a user can click, check, choose or type in.
struct TShownControl {
  TControl* Control = nullptr;
  std::string Text;
  bool Actionable = false;
};
std::vector<TShownControl> ShownControls(const TCustomForm& form);
// The visible form hosted deepest in `form` (the current wizard page), else
// `form` itself.
TCustomForm& CurrentPage(TCustomForm& form);
// "TMainForm MainForm": class and name, for messages.
std::string FormTitle(const TCustomForm& form);

struct TPresenterOptions {
  std::string Presenter;            // "terminal", "scripted", a registered name or empty (choose)
  std::string AnswersFile;
  std::vector<std::string> Answers;  // "SECTION:LINE"
  bool Unattended = false;
  bool Strict = false;
  std::string TranscriptFile;
};

// A presenter a program links in addition to the two above. Usable tells
// whether it can work here (a display to open, say), and why not in `why`.
// Preferred: chosen over the terminal when no presenter was named, nothing
// asks for the scripted one, and it is usable.
struct TPresenterFactory {
  std::function<bool(std::string& why)> Usable;
  std::function<std::unique_ptr<TPresenter>(const TPresenterOptions&)> Create;
  bool Preferred = false;
};
// Registers (or replaces) the factory of `name`; call it from a static
// initialiser of the library that holds the presenter.
void RegisterPresenter(const std::string& name, TPresenterFactory factory);
// Drops it again (tests).
void UnregisterPresenter(const std::string& name);
bool PresenterRegistered(const std::string& name);

// Takes the presenter options off `args` (the program name, args[0], stays)
// and fills in from the environment what the arguments left out. Raises
// EPresenterError for an unknown presenter name (a known one that this
// program was built without says so) or an option without its value.
TPresenterOptions TakePresenterOptions(std::vector<std::string>& args);
// The scripted presenter when answers, unattended or scripted were asked
// for; a registered one when named (EPresenterError, with the reason, when it
// cannot work here); else a preferred registered one that can work here;
// else the terminal one.
std::unique_ptr<TPresenter> CreatePresenter(const TPresenterOptions& options);

}  // namespace host
