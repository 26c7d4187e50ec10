#include "engine/components/tav_login_dialog.h"

#include <unistd.h>

#include "engine/storage/base/tav_resstrings.h"
#include "os/terminal.h"

namespace tav {

namespace {

// Asks for each enabled edit on the terminal, in tab order.
class TTerminalLoginPrompter : public TTavLoginPrompter {
 public:
  bool Execute(TTavPasswordDialog& dialog) override {
    if (!os::IsTerminal(STDIN_FILENO)) return false;
    std::string header = dialog.Caption + "\n";
    if (write(STDERR_FILENO, header.data(), header.size()) < 0) return false;
    for (TTavLoginEdit* edit : {&dialog.ebMasterKey, &dialog.ebUsername, &dialog.ebPassword}) {
      if (!edit->Enabled) continue;
      std::string line;
      if (!os::ReadTerminalLine(STDIN_FILENO, STDERR_FILENO, edit->Label + " ", !edit->Password,
                                edit->MaxLength, line))
        return false;
      edit->Text = line;
    }
    return true;
  }
  void ShowMessage(const std::string& text) override {
    const std::string line = text + "\n";
    if (write(STDERR_FILENO, line.data(), line.size()) < 0) return;
  }
};

TTerminalLoginPrompter& DefaultPrompter() {
  static TTerminalLoginPrompter prompter;
  return prompter;
}

TTavLoginPrompter* g_prompter = nullptr;

}  // namespace

TTavLoginPrompter* SetTavLoginPrompter(TTavLoginPrompter* prompter) {
  TTavLoginPrompter* before = g_prompter;
  g_prompter = prompter;
  return before;
}

TTavLoginPrompter& TavLoginPrompter() { return g_prompter ? *g_prompter : DefaultPrompter(); }

bool ShowTavLoginDialog(const std::string& name, int flags, std::string& databasePassword,
                        std::string& userName, std::string& userPassword) {
  TTavPasswordDialog dialog;
  dialog.ebMasterKey = {StavMasterKeyLabel, databasePassword, (flags & kLoginDatabasePassword) != 0,
                        true, kLoginEditMaxLength};
  dialog.ebUsername = {StavUsernameLabel, userName, (flags & kLoginUserPassword) != 0, false,
                       kLoginEditMaxLength};
  dialog.ebPassword = {StavPasswordLabel, userPassword, (flags & kLoginUserPassword) != 0, true,
                       kLoginEditMaxLength};
  const size_t slash = name.find_last_of("/\\");
  dialog.Caption = std::string(StavLoginPrompt) + " - " +
                   (slash == std::string::npos ? name : name.substr(slash + 1));
  dialog.FocusedEdit = dialog.ebMasterKey.Enabled ? &dialog.ebMasterKey : &dialog.ebPassword;
  const TTavPasswordDialog shown = dialog;
  if (!TavLoginPrompter().Execute(dialog)) return false;
  // An edit takes no more than its length, and a disabled one takes nothing,
  // whatever the prompter did.
  auto entry = [](const TTavLoginEdit& edit, const TTavLoginEdit& before) {
    return before.Enabled ? edit.Text.substr(0, before.MaxLength) : before.Text;
  };
  userName = entry(dialog.ebUsername, shown.ebUsername);
  userPassword = entry(dialog.ebPassword, shown.ebPassword);
  databasePassword = entry(dialog.ebMasterKey, shown.ebMasterKey);
  return true;
}

}  // namespace tav
