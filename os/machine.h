// The simulated Windows machine the installer runs on: one folder on the host
// (the machine root) that holds the drive folders, the host profile, the work
// recorded for the next restart and the attribute tables, plus the hooks that
// tests use to make the machine misbehave (a full disk, a file in use, a
// failing restart record).
//
// Layout of the machine root:
//   C/  A/                 the folders behind drives C: and A:
//   C.attributes ...       per drive: the attributes other than read-only
//   profile.ini            the host profile (host_profile.h)
//   restart/moves.txt      files to replace at the next restart
//   registry.reg           the registry (registry_store.h)
// Z: names the host's own root "/", so that the program's own files and any
// host path can be named as a virtual path.
//
// Callers must keep:
//  - One machine is current for the whole process (CurrentMachine); a test
//    makes a fresh one in its own folder and installs it with TScopedMachine
//    for its lifetime. The machine must outlive its installation.
//  - Hooks are process-local: they make this process see the machine
//    differently, not other processes.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "os/host_profile.h"

namespace os {

class TOSFile;
class TRegistryStore;

class TMachine {
 public:
  // Opens the machine at `root`, making the folders that are missing (the
  // root, its drive folders and the profile's Windows, system, temporary and
  // special folders). Returns nullptr with the Windows error when the root cannot be
  // made. A profile that is damaged or cannot be read throws EDamagedFile.
  static std::unique_ptr<TMachine> Open(const std::string& root);

  // The root named by the environment variable TAV_MACHINE_ROOT, else
  // "tavrin/machine" in the user's data folder ($XDG_DATA_HOME, else
  // $HOME/.local/share).
  static std::string DefaultRoot();

  ~TMachine();
  TMachine(const TMachine&) = delete;
  TMachine& operator=(const TMachine&) = delete;

  const std::string& Root() const { return root_; }

  // The host folder behind a drive letter (either case), without a trailing
  // '/' except for the host root itself; empty when the drive is not mapped.
  std::string DriveFolder(char letter) const;
  // The drive whose folder holds `hostPath` (the innermost one), or 0.
  char DriveOfHostPath(const std::string& hostPath) const;

  THostProfile& Profile() { return profile_; }
  const THostProfile& Profile() const { return profile_; }
  // Writes the profile as it now stands to profile.ini.
  bool SaveProfile();
  std::string ProfilePath() const;

  // The machine's registry (registry_store.h), kept in registry.reg.
  TRegistryStore& Registry();
  std::string RegistryPath() const;

  // Where delayed moves and attribute tables are kept.
  std::string PendingMovesPath() const;
  std::string AttributeTablePath(char letter) const;

  // ---- test hooks ----
  // The bytes the files of a drive may take in all; -1 for no limit. A: starts
  // at 1,457,664 bytes (a 3.5" floppy), every other drive without limit.
  void SetDriveCapacity(char letter, int64_t bytes);
  int64_t DriveCapacity(char letter) const;
  // Marks a host file as held open by some other program.
  void SetHostFileInUse(const std::string& hostPath, bool inUse);
  bool IsHostFileMarkedInUse(const std::string& hostPath) const;
  // Makes the recording of delayed moves fail with access denied.
  void SetFailDelayedMoves(bool fail);
  bool FailDelayedMoves() const;

 private:
  explicit TMachine(std::string root);

  const std::string root_;
  THostProfile profile_;
  mutable std::mutex mutex_;  // guards the hooks below
  std::map<char, int64_t> capacity_;
  std::set<std::string> in_use_;
  bool fail_delayed_moves_ = false;
  std::unique_ptr<TRegistryStore> registry_;  // made on first use, under mutex_
};

// The machine's own files (profile, attribute tables, restart records), read
// and written on host paths. Read: false when the file does not exist; a file
// that cannot be read whole, or is larger than `maxSize`, throws EDamagedFile.
// Write: the whole text to a temporary name beside the file, then moved into
// place, so a reader sees the old or the new text; false with the Windows error.
bool ReadMachineFile(const std::string& path, size_t maxSize, std::string& text);
// The same on a file already open.
void ReadMachineFile(TOSFile& file, size_t maxSize, std::string& text);
bool WriteMachineFile(const std::string& path, const std::string& text);

// The current machine: the one installed by SetMachine, else one opened at
// DefaultRoot on first use (which throws EDamagedFile for a damaged profile,
// and std::runtime_error when the root cannot be made).
TMachine& CurrentMachine();
// Installs `machine` (nullptr goes back to the default one) and returns the
// one installed before.
TMachine* SetMachine(TMachine* machine);

class TScopedMachine {
 public:
  explicit TScopedMachine(TMachine& machine) : previous_(SetMachine(&machine)) {}
  ~TScopedMachine() { SetMachine(previous_); }
  TScopedMachine(const TScopedMachine&) = delete;
  TScopedMachine& operator=(const TScopedMachine&) = delete;

 private:
  TMachine* previous_;
};

}  // namespace os
