// The login dialog: the database password and/or a user name and password,
// asked when a connection needs them and the application gave none.
//
// No window system stands behind it: TTavPasswordDialog holds the dialog's
// state (caption, the three labelled edits, which are enabled, where the
// focus starts) and a TTavLoginPrompter shows it to someone. The default
// prompter asks on the terminal for the enabled edits only, passwords
// without echo; without a terminal it cancels. Tests and host programs
// install their own prompter with SetTavLoginPrompter.
//
// Callers must keep: an installed prompter is borrowed and outlives its
// installation (install nullptr, the default, before freeing it). The
// prompter may change only the texts of the edits; ShowTavLoginDialog cuts
// each entry to the edit's 40 characters.
#pragma once

#include <string>

namespace tav {

// The longest entry each edit takes.
inline constexpr size_t kLoginEditMaxLength = 40;

// Flags of ShowTavLoginDialog: bit 0 the database password, bit 1 the user
// name and password.
inline constexpr int kLoginDatabasePassword = 1;
inline constexpr int kLoginUserPassword = 2;

struct TTavLoginEdit {
  std::string Label;
  std::string Text;
  bool Enabled = false;
  bool Password = false;  // shown as '*'
  size_t MaxLength = kLoginEditMaxLength;
};

class TTavPasswordDialog {
 public:
  std::string Caption = "Enter password";
  TTavLoginEdit ebMasterKey;
  TTavLoginEdit ebUsername;
  TTavLoginEdit ebPassword;
  // The edit the focus starts in.
  const TTavLoginEdit* FocusedEdit = nullptr;
};

class TTavLoginPrompter {
 public:
  virtual ~TTavLoginPrompter() = default;
  // Shows the dialog; True for OK (with the edits' texts as entered),
  // False for cancel.
  virtual bool Execute(TTavPasswordDialog& dialog) = 0;
  // An error message box with one OK button (a failed logon between two
  // attempts).
  virtual void ShowMessage(const std::string& text) = 0;
};

// Installs `prompter` (nullptr: the terminal default); returns the one
// installed before.
TTavLoginPrompter* SetTavLoginPrompter(TTavLoginPrompter* prompter);
TTavLoginPrompter& TavLoginPrompter();

// Name: the database's name or path (only its file-name part is shown).
// On OK the three strings receive the entries and the result is True; on
// cancel they keep their values.
bool ShowTavLoginDialog(const std::string& name, int flags, std::string& databasePassword,
                        std::string& userName, std::string& userPassword);

}  // namespace tav
