// What the install library keeps for the whole program, made before main
// and freed after it: the lists of every install container and install file,
// the list of ActiveX files waiting for registration, the install history
// key's path, the install component, the table of install file ids and the
// switch that puts ActiveX registration off until the end of the run, and
// the install's archive component. The page forms' list is OrlaneForms() (orln_forms.h).
//
// Callers must keep:
//  - The lists borrow: an object adds itself when made and removes itself
//    before it goes. Adding nothing raises the list's IException.
#pragma once

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "installer/engine/archive/orln_compress.h"
#include "installer/engine/base/orln_exceptions.h"

namespace orln {

class TInstallContainer;
class TCustomInstallFile;

// A list of borrowed objects that refuses a null entry.
template <class T, class E>
class TInstallObjectList {
 public:
  explicit TInstallObjectList(const char* blankMessage) : blank_message_(blankMessage) {}

  void Add(T* item) {
    if (item == nullptr) throw E(blank_message_);
    items_.push_back(item);
  }
  void Remove(T* item) {
    items_.erase(std::remove(items_.begin(), items_.end(), item), items_.end());
  }
  int IndexOf(const T* item) const {
    const auto it = std::find(items_.begin(), items_.end(), item);
    return it == items_.end() ? -1 : static_cast<int>(it - items_.begin());
  }
  int Count() const { return static_cast<int>(items_.size()); }
  T* Items(int index) const { return items_.at(static_cast<size_t>(index)); }
  void Clear() { items_.clear(); }

 private:
  const char* blank_message_;
  std::vector<T*> items_;
};

using TInstallContainerList = TInstallObjectList<TInstallContainer, IEContainerList>;
using TCustomInstallFileList = TInstallObjectList<TCustomInstallFile, IECustomInstallFileList>;

inline constexpr int kInstallFileIds = 2000;

struct TInstallGlobals {
  TInstallContainerList Containers{"Cannot add a blank entry to the TInstallContainerList object"};
  TCustomInstallFileList InstallFiles{
      "Cannot add a blank entry to the TCustomInstallFileList object"};
  TCustomInstallFileList ActiveXFiles{
      "Cannot add a blank entry to the TCustomInstallFileList object"};
  std::string HistoryKeyPath;
  // The one install component while it lives (it sets and clears this);
  // null when the program has none.
  host::TComponent* Install = nullptr;
  std::array<bool, kInstallFileIds> FileIdUsed{};  // ids 0..1999 taken
  bool DeferActiveX = true;
  // The install library runs as a tool of its own (not inside an install
  // program): objects behave as at design time, and the library's
  // directory is the program's.
  bool LibraryTool = false;
  TOrlnCompress Compress{nullptr};  // the install's archive
};

// The program's one set, made on first use and freed at exit.
TInstallGlobals& InstallGlobals();

}  // namespace orln
