// TProgramLauncher: starts a program of the machine (os/process.h) with its
// parameters in a start folder, and returns once it runs.
//
// Callers must keep:
//  - A program that cannot be started raises EProgramLauncherFailed with the
//    Windows error code and the launcher's text for it ("File not found").
//  - The program receives its own path as the first word of its command
//    line and Parameters after it, so it finds its parameters where every
//    program looks.
#pragma once

#include <cstdint>
#include <string>

#include "host/classes/component.h"

namespace orln {

enum TShowMode { smNormal = 0, smMaximized = 1, smMinimized = 2, smHide = 3 };

// The launcher's text for a start error code ("Unknown error" for others).
std::string ProgramLauncherErrorText(uint32_t code);

class TProgramLauncher : public host::TComponent {
 public:
  explicit TProgramLauncher(host::TComponent* owner) : TComponent(owner) {}

  const std::string& Action() const { return action_; }
  void SetAction(const std::string& v) { action_ = v; }
  const std::string& FileName() const { return file_name_; }
  void SetFileName(const std::string& v) { file_name_ = v; }
  const std::string& Parameters() const { return parameters_; }
  void SetParameters(const std::string& v) { parameters_ = v; }
  TShowMode ShowMode() const { return show_mode_; }
  void SetShowMode(TShowMode v) { show_mode_ = v; }
  const std::string& StartDir() const { return start_dir_; }
  void SetStartDir(const std::string& v) { start_dir_ = v; }
  int Timeout() const { return timeout_; }
  void SetTimeout(int v) { timeout_ = v; }
  bool Wait() const { return wait_; }
  void SetWait(bool v) { wait_ = v; }

  void Execute();

 private:
  std::string action_ = "Open";
  std::string file_name_;
  std::string parameters_;
  TShowMode show_mode_ = smNormal;
  std::string start_dir_;
  int timeout_ = -1;
  bool wait_ = true;
};

}  // namespace orln
