// The network install source: login data for an FTP or HTTP server and the
// net location component that fetches one remote file at a time into a
// local file (archive files and the remote file list), with progress and
// abort. The transport (os/net_transport.h) is bound on first use only, so a
// traditional distribution never touches it.
//
// Callers must keep:
//  - GetFile either leaves the complete remote file at LocalPath and returns
//    true, returns false when the progress callback asked to abort, or
//    raises; after an abort or a failure no local file is left behind.
//  - The served object and its callback (SetServed) hold for one transfer
//    only: they are released when GetFile ends, also on failure.
//  - Every location registers itself in the global list for its lifetime.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/classes/component.h"
#include "host/classes/prop_table.h"
#include "installer/engine/base/orln_exceptions.h"

namespace os {
class TNetConnection;
}

namespace orln {

// ---- exceptions ----

// "<text>. Error message <code name>. Server <host>. Response from server <reply>"
class ENIL : public host::Exception {
 public:
  ENIL(const std::string& text, uint32_t errorCode, const std::string& host,
       const std::string& response);
  uint32_t ErrorCode() const { return error_code_; }

 private:
  uint32_t error_code_;
};

#define ORLN_ENIL(Name, Parent) \
  class Name : public Parent {  \
   public:                      \
    using Parent::Parent;       \
  };
ORLN_ENIL(ENIL_OpenSession, ENIL)
ORLN_ENIL(ENIL_OpenService, ENIL)
ORLN_ENIL(ENIL_FailDataQuery, ENIL)
ORLN_ENIL(ENIL_ReadFile, ENIL)
ORLN_ENIL(ENIL_FileNotFound, ENIL)
ORLN_ENIL(ENIL_FTP, ENIL)
ORLN_ENIL(ENIL_FTPSetDir, ENIL_FTP)
ORLN_ENIL(ENIL_FTPOpenFile, ENIL_FTP)
ORLN_ENIL(ENIL_FTPCloseFile, ENIL_FTP)
ORLN_ENIL(ENIL_HTTP, ENIL)
ORLN_ENIL(ENIL_HTTPOpenFile, ENIL_HTTP)
ORLN_ENIL(ENIL_HTTPSendRequest, ENIL_HTTP)
class ENIL_WriteDestFile : public host::Exception {
 public:
  using Exception::Exception;
};
class ENIL_FailLoadWININET : public host::Exception {
 public:
  using Exception::Exception;
};
class ENIL_FailLoadDLLProc : public host::Exception {
 public:
  using Exception::Exception;
};
ORLN_ENIL(IENetList, IException)
#undef ORLN_ENIL

// ---- login data ----

enum TInternetProtocol { ipFTP = 0, ipHTTP = 1 };

class TCustomLoginInformation : public host::TPersistent {
 public:
  void Assign(const host::TPersistent& source) override;
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

  bool Anonymous = true;
  TInternetProtocol Protocol = ipHTTP;
  std::string Hostname;
  std::string Directory;
  std::string Username;
  std::string Password;
};

class TLoginInformation : public TCustomLoginInformation {};

// Anonymous: a host name; otherwise any of host name, password or user name.
bool IsLoginValid(const TCustomLoginInformation& login);

// A folder as the server wants it: blank is "/", backslashes become '/'.
std::string UrlDirectory(const std::string& dir);

// Percent of a download for the status shown to the user: 0..100; a total
// of 0 (unknown) is 0 until the transfer is finished, then 100.
int DownloadPercent(int64_t received, int64_t total, bool finished);

// ---- the location ----

class TCustomNetInstallLocation : public host::TComponent {
 public:
  // Piece size, bytes so far, total (0 when the server did not say); set
  // abort to end the transfer.
  using TProgress = std::function<void(host::TObject* served, int32_t piece, int64_t received,
                                       int64_t total, bool& abort)>;
  using TNotify = std::function<void(TCustomNetInstallLocation&)>;
  using TAfterTransfer = std::function<void(TCustomNetInstallLocation&, bool aborted)>;

  static constexpr size_t kPieceSize = 8192;

  explicit TCustomNetInstallLocation(host::TComponent* owner);
  ~TCustomNetInstallLocation() override;

  TCustomLoginInformation& LoginInformation() { return login_; }
  void SetLoginInformation(const TCustomLoginInformation& v) { login_.Assign(v); }

  void SetServed(host::TObject* served, TProgress progress);
  void Connect();
  // Connect, fetch RemoteName from the login's folder into LocalPath (a
  // virtual path); false when aborted through the progress callback.
  bool GetFile(const std::string& remoteName, const std::string& localPath);

  const std::string& RemoteName() const { return remote_name_; }
  const std::string& LocalPath() const { return local_path_; }

  TNotify OnBeforeConnect;
  TNotify OnAfterConnect;
  TNotify OnBeforeTransfer;
  TAfterTransfer OnAfterTransfer;
  // Runs after each piece so the user interface stays live.
  std::function<void()> OnProcessMessages;

 private:
  template <class E>
  [[noreturn]] void RaiseNil(const std::string& fmt, const std::string& arg);
  bool ReadToLocal(bool http);

  TLoginInformation login_;
  bool session_open_ = false;
  std::unique_ptr<os::TNetConnection> connection_;
  std::string remote_name_;
  std::string local_path_;
  host::TObject* served_ = nullptr;
  TProgress progress_;
};

class TNetInstallLocation : public TCustomNetInstallLocation {
 public:
  using TCustomNetInstallLocation::TCustomNetInstallLocation;
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

// Every net location alive, in the order made.
class TNetLocationList {
 public:
  void Add(TCustomNetInstallLocation* location);  // IENetList for nullptr
  void Remove(TCustomNetInstallLocation* location);
  int Count() const { return static_cast<int>(items_.size()); }
  TCustomNetInstallLocation* Items(int i) const { return items_.at(static_cast<size_t>(i)); }

 private:
  std::vector<TCustomNetInstallLocation*> items_;
};
TNetLocationList& NetLocationList();

}  // namespace orln
