// TScriptedPresenter: a user read from an answers text, for tests and
// unattended runs, that keeps a transcript of what each form showed.
//
// Answers text (Windows-1252 bytes, lines ending in LF or CR LF; blank lines
// and lines starting with '#' or ';' are skipped):
//
//   [TSelectDestinationForm]     the answers for one showing of a form, by
//   type edDestDir C:\Tavrin     its name or class (any case); a form shown
//   click ProceedBtn             again takes the next section with its name
//   [TBeforeInstallDialog1]
//   check D7CB 1                 1/0: checked or not
//   choose RG 1                  an item by number (from 0) or text
//   click ProceedBtn
//   message Yes                  the answer to the next message box
//   folder C:\Tools              the next folder browse ("folder" alone: cancel)
//   close                        the form's close button
//   [TCopyFileForm]
//   cancel-after 3               its cancel button, at the third progress update
//
// The lines of a section are given in order: actions whenever the form (or
// the wizard page it hosts) waits for the user, "message" and "folder" when
// a box or browse comes up while the form is active. "cancel-after N" counts
// the position changes of the form's progress bars and delivers a click of
// its cancel button (the Cancel button, else "CancelBtn", else closing the
// form) at the next ProcessMessages or wait after the N-th one.
//
// A form without answers left takes its default button (or, without one,
// is closed; a message box its default button; a folder browse the folder
// it starts at) unless the presenter is strict: then EPresenterError names
// the form. A form that keeps waiting through 1000 default answers fails
// the same way, so that a run never spins.
#pragma once

#include <deque>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "host/forms/presenter.h"

namespace host {

class TScriptedPresenter : public TPresenter {
 public:
  TScriptedPresenter();
  ~TScriptedPresenter() override;

  // Raises EPresenterError naming the line for a line it cannot read.
  void LoadAnswers(std::string_view text, const std::string& source = "answers");
  void LoadAnswersFile(const std::string& fileName);
  // "SECTION:LINE": the line appended to the last section of that name (a
  // new section when there is none).
  void AddAnswer(const std::string& answer);

  bool Strict() const { return strict_; }
  void SetStrict(bool v) { strict_ = v; }
  // Each transcript line is also written to the file as it comes.
  void SetTranscriptFile(const std::string& fileName);
  const std::vector<std::string>& Transcript() const { return transcript_; }

  void FormShown(TCustomForm& form, bool modal) override;
  void FormHidden(TCustomForm& form) override;
  void FormGone(TCustomForm& form) override;
  void ControlChanged(TControl& control) override;
  void ControlGone(TControl& control) override;
  TUserAction WaitAction(TCustomForm& form) override;
  bool PendingAction(TUserAction& action) override;
  int MessageBox(const std::string& text, const std::string& caption, int flags) override;
  bool BrowseForFolder(const std::string& title, std::string& path) override;

 private:
  struct TLine {
    std::string Verb;  // click check choose type close message folder cancel-after
    std::string Control;
    std::string Value;
    std::string Where;  // "answers line 12", for errors
  };
  struct TSection {
    std::string Key;
    std::deque<TLine> Lines;
  };
  // What a shown form is answering from.
  struct TActive {
    TSection Section;
    bool HasSection = false;
    int CancelAfter = 0;  // 0: none
    int Updates = 0;
    int Defaults = 0;
  };

  static TLine ParseLine(std::string_view line, const std::string& where);
  void Note(std::string line);
  // The active answers of the form the user is looking at now.
  TCustomForm* LookingAt() const;
  TActive* ActiveOf(TCustomForm* form);
  TUserAction ActionOf(TCustomForm& form, const TLine& line);
  TUserAction CancelOf(TCustomForm& form) const;
  [[noreturn]] void Unanswered(const TCustomForm& form, const std::string& what) const;

  std::map<std::string, std::deque<TSection>> sections_;  // by upper-case key
  std::map<TCustomForm*, TActive> active_;
  std::map<TControl*, int> positions_;  // progress bars seen
  std::deque<TUserAction> pending_;
  std::vector<TCustomForm*> modal_stack_;
  bool strict_ = false;
  std::vector<std::string> transcript_;
  std::ofstream transcript_file_;
};

}  // namespace host
