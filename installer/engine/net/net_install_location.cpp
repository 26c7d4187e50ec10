#include "installer/engine/net/net_install_location.h"

#include <algorithm>

#include "host/rtl/format.h"
#include "os/net_transport.h"
#include "os/win_file.h"

namespace orln {

ENIL::ENIL(const std::string& text, uint32_t errorCode, const std::string& host,
           const std::string& response)
    : host::Exception(host::Format(
          "%s. Error message %s. Server %s. Response from server %s",
          {text, os::InternetErrorName(errorCode), host,
           response.empty() ? std::string("No server response") : response})),
      error_code_(errorCode) {}

void TCustomLoginInformation::Assign(const host::TPersistent& source) {
  const auto* s = dynamic_cast<const TCustomLoginInformation*>(&source);
  if (s == nullptr) return host::TPersistent::Assign(source);
  Anonymous = s->Anonymous;
  Protocol = s->Protocol;
  Hostname = s->Hostname;
  Directory = s->Directory;
  Username = s->Username;
  Password = s->Password;
}

bool IsLoginValid(const TCustomLoginInformation& login) {
  if (login.Anonymous) return !login.Hostname.empty();
  return !login.Hostname.empty() || !login.Password.empty() || !login.Username.empty();
}

std::string UrlDirectory(const std::string& dir) {
  if (dir.empty()) return "/";
  std::string url = dir;
  std::replace(url.begin(), url.end(), '\\', '/');
  return url;
}

int DownloadPercent(int64_t received, int64_t total, bool finished) {
  if (total <= 0) return finished ? 100 : 0;
  if (received <= 0) return 0;
  if (received >= total) return 100;
  return static_cast<int>((received * 100 + total / 2) / total);
}

// ---- the location ----

TCustomNetInstallLocation::TCustomNetInstallLocation(host::TComponent* owner)
    : host::TComponent(owner) {
  NetLocationList().Add(this);
}

TCustomNetInstallLocation::~TCustomNetInstallLocation() { NetLocationList().Remove(this); }

void TCustomNetInstallLocation::SetServed(host::TObject* served, TProgress progress) {
  served_ = served;
  progress_ = std::move(progress);
}

template <class E>
void TCustomNetInstallLocation::RaiseNil(const std::string& fmt, const std::string& arg) {
  uint32_t code = os::ERROR_INVALID_HANDLE;
  std::string response;
  if (connection_) {
    if (connection_->LastError() != 0) code = connection_->LastError();
    response = connection_->LastResponse();
  }
  throw E(host::Format(fmt, {arg}), code, login_.Hostname, response);
}

void TCustomNetInstallLocation::Connect() {
  const std::string missing = os::BindNetLibrary();
  if (missing == os::kNetLibraryName) {
    throw ENIL_FailLoadWININET(
        "Failed to load the Wininet.dll. If this is a hybrid installation, you might want to "
        "include the WININET.DLL file in the PresetupFiles property of the TInstall component");
  }
  if (!missing.empty()) {
    std::string name = missing;
    if (name.back() == 'A') name.pop_back();
    throw ENIL_FailLoadDLLProc(host::Format("Failed to load the procedure %s from WININET.DLL", {name}));
  }
  // The built-in transport needs no session of its own.
  session_open_ = true;
  if (connection_) return;
  if (OnBeforeConnect) OnBeforeConnect(*this);
  uint32_t error = 0;
  std::string response;
  if (login_.Protocol == ipFTP) {
    const bool anon = login_.Anonymous;
    connection_ = os::OpenFtpConnection(login_.Hostname, anon ? "" : login_.Username,
                                        anon ? "" : login_.Password, error, response);
  } else {
    connection_ = os::OpenHttpConnection(login_.Hostname, "Accept: */*\r\n\r\n", error);
  }
  if (!connection_) {
    throw ENIL_OpenService(host::Format("Cannot connect to host %s", {login_.Hostname}), error,
                           login_.Hostname, response);
  }
  if (login_.Protocol == ipFTP) {
    const std::string dir = UrlDirectory(login_.Directory);
    if (!connection_->SetCurrentDirectory(dir)) {
      // A connection that could not reach its folder is of no further use.
      const uint32_t code = connection_->LastError();
      const std::string reply = connection_->LastResponse();
      connection_.reset();
      throw ENIL_FTPSetDir(host::Format("Cannot set directory on server to %s", {dir}), code,
                           login_.Hostname, reply);
    }
  }
  if (OnAfterConnect) OnAfterConnect(*this);
}

bool TCustomNetInstallLocation::GetFile(const std::string& remoteName,
                                        const std::string& localPath) {
  // The served object and its callback hold for this transfer only.
  struct TReleaseServed {
    TCustomNetInstallLocation& self;
    ~TReleaseServed() {
      self.served_ = nullptr;
      self.progress_ = nullptr;
    }
  } release{*this};
  Connect();
  remote_name_ = remoteName;
  local_path_ = localPath;
  if (OnBeforeTransfer) OnBeforeTransfer(*this);
  const bool http = login_.Protocol == ipHTTP;
  if (http) {
    std::string url = UrlDirectory(login_.Directory);
    if (url.front() != '/') url.insert(url.begin(), '/');
    if (url.back() != '/') url += '/';
    if (!connection_->OpenFile(url + remoteName)) {
      // Redirected too often: the file is not to be found where it was asked for.
      if (connection_->LastError() == os::ERROR_HTTP_REDIRECT_FAILED)
        RaiseNil<ENIL_FileNotFound>("Could not find the file %s on the server", remoteName);
      RaiseNil<ENIL_HTTPSendRequest>("Cannot send request for file %s to the server", remoteName);
    }
  } else if (!connection_->OpenFile(remoteName)) {
    RaiseNil<ENIL_FTPOpenFile>("Cannot open file %s on server", remoteName);
  }
  bool aborted = false;
  try {
    aborted = !ReadToLocal(http);
  } catch (...) {
    // After a broken FTP transfer the control connection's state is unknown:
    // drop it, and the next file connects afresh.
    if (http) {
      connection_->CloseFile();
    } else {
      connection_.reset();
    }
    throw;
  }
  if (!connection_->CloseFile() && !aborted) {
    os::WinDeleteFile(localPath);
    RaiseNil<ENIL_FTPCloseFile>("Cannot close the file %s on the server", remoteName);
  }
  if (OnAfterTransfer) OnAfterTransfer(*this, aborted);
  return !aborted;
}

bool TCustomNetInstallLocation::ReadToLocal(bool http) {
  const std::string& name = remote_name_;
  // An error page, or a redirect that was not followed, is not the file,
  // whatever its body says.
  if (http && connection_->Status() >= 300)
    RaiseNil<ENIL_FileNotFound>("Could not find the file %s on the server", name);
  const int64_t available = connection_->AvailableSize();
  const int64_t total = available < 0 ? 0 : available;

  auto file = os::TWinFile::Create(local_path_, os::TFileCreation::CreateAlways);
  if (!file) {
    throw ENIL_WriteDestFile(
        host::Format("%s could not write to the local dest file %s", {name, local_path_}));
  }
  // A transfer that does not finish takes its partial file with it.
  struct TPartialFile {
    std::unique_ptr<os::TWinFile>& file;
    const std::string& path;
    bool keep = false;
    ~TPartialFile() {
      file.reset();
      if (!keep) os::WinDeleteFile(path);
    }
  } partial{file, local_path_};

  char buf[kPieceSize];
  int64_t received = 0;
  for (;;) {
    const int64_t n = connection_->Read(buf, sizeof buf);
    if (n < 0) RaiseNil<ENIL_ReadFile>("Could not read from file %s on the server", name);
    if (n == 0) break;
    if (http && received == 0) {
      std::string head(buf, static_cast<size_t>(std::min<int64_t>(n, 30)));
      std::transform(head.begin(), head.end(), head.begin(),
                     [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
      if (head.find("404") != std::string::npos)
        RaiseNil<ENIL_FileNotFound>("Could not find the file %s on the server", name);
    }
    received += n;
    bool abort = false;
    if (progress_) progress_(served_, static_cast<int32_t>(n), received, total, abort);
    if (OnProcessMessages) OnProcessMessages();
    if (abort) return false;
    if (file->Write(static_cast<uint64_t>(received - n), buf, static_cast<size_t>(n)) != n) {
      throw ENIL_WriteDestFile(
          host::Format("%s could not write to the local dest file %s", {name, local_path_}));
    }
  }
  if (received == 0) RaiseNil<ENIL_FileNotFound>("Could not find the file %s on the server", name);
  partial.keep = true;
  return true;
}

// ---- the global list ----

void TNetLocationList::Add(TCustomNetInstallLocation* location) {
  if (location == nullptr)
    throw IENetList("Cannot add a blank location to the global net location list");
  items_.push_back(location);
}

void TNetLocationList::Remove(TCustomNetInstallLocation* location) {
  items_.erase(std::remove(items_.begin(), items_.end(), location), items_.end());
}

TNetLocationList& NetLocationList() {
  static TNetLocationList list;
  return list;
}

// ---- published tables ----

const host::TPropertyTable& TCustomLoginInformation::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TCustomLoginInformation>(
      "TLoginInformation", nullptr, [](host::TPublisher<TCustomLoginInformation>& p) {
        using L = TCustomLoginInformation;
        p.Boolean(
             "Anonymous", [](const L& l) { return l.Anonymous; },
             [](L& l, bool v) { l.Anonymous = v; })
            .Default(1);
        static const host::TEnumInfo protocols("TInternetProtocol", {"ipFTP", "ipHTTP"});
        p.Enumeration(
             "Protocol", protocols, [](const L& l) { return l.Protocol; },
             [](L& l, TInternetProtocol v) { l.Protocol = v; })
            .Default(ipHTTP);
        auto text = [&p](const char* name, std::string L::*field) {
          p.String(
               name, [field](const L& l) -> const std::string& { return l.*field; },
               [field](L& l, const std::string& v) { l.*field = v; })
              .DefaultString("");
        };
        text("Directory", &L::Directory);
        text("Hostname", &L::Hostname);
        text("Password", &L::Password);
        text("Username", &L::Username);
      });
  return table;
}

const host::TPropertyTable& TNetInstallLocation::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TNetInstallLocation>(
      "TNetInstallLocation", &host::TComponent::ClassProperties(),
      [](host::TPublisher<TNetInstallLocation>& p) {
        p.Object("LoginInformation", [](TNetInstallLocation& l) -> TCustomLoginInformation& {
          return l.LoginInformation();
        });
      });
  return table;
}

}  // namespace orln
