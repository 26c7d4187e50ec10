// A login prompter for tests: it records every dialog it is shown and
// answers from a script (OK with given texts, or cancel). Installed for its
// lifetime; the one installed before comes back when it goes.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "engine/components/tav_login_dialog.h"

namespace tav::test {

class TScriptedLoginPrompter : public TTavLoginPrompter {
 public:
  struct TAnswer {
    bool Ok = true;
    std::string DatabasePassword, UserName, UserPassword;
  };

  TScriptedLoginPrompter() : before_(SetTavLoginPrompter(this)) {}
  ~TScriptedLoginPrompter() override { SetTavLoginPrompter(before_); }
  TScriptedLoginPrompter(const TScriptedLoginPrompter&) = delete;
  TScriptedLoginPrompter& operator=(const TScriptedLoginPrompter&) = delete;

  void Answer(TAnswer answer) { answers_.push_back(std::move(answer)); }

  bool Execute(TTavPasswordDialog& dialog) override {
    shown.push_back(dialog);
    if (answers_.empty()) return false;
    const TAnswer a = answers_.front();
    answers_.pop_front();
    if (!a.Ok) return false;
    if (dialog.ebMasterKey.Enabled) dialog.ebMasterKey.Text = a.DatabasePassword;
    if (dialog.ebUsername.Enabled) dialog.ebUsername.Text = a.UserName;
    if (dialog.ebPassword.Enabled) dialog.ebPassword.Text = a.UserPassword;
    return true;
  }
  void ShowMessage(const std::string& text) override { messages.push_back(text); }

  std::vector<TTavPasswordDialog> shown;
  std::vector<std::string> messages;

 private:
  std::deque<TAnswer> answers_;
  TTavLoginPrompter* before_;
};

}  // namespace tav::test
