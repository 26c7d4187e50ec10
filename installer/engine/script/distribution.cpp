// Building a distribution (-b), its self-extract trailer and remote file
// list, and copying a self-extracting distribution onto floppies (-f).
#include <memory>

#include "host/forms/forms.h"
#include "host/rtl/string_list.h"
#include "host/rtl/le_bytes.h"
#include "host/rtl/sys_utils.h"
#include "installer/engine/base/install_globals.h"
#include "installer/engine/base/orln_exceptions.h"
#include "installer/engine/script/install.h"
#include "installer/engine/script/install_file.h"
#include "installer/engine/script/self_extract.h"
#include "installer/engine/translation/translator.h"
#include "os/win_file.h"

namespace orln {
namespace {

constexpr size_t kCopyPiece = 8192;

// Shows a failed mode's error as a message box.
template <class F>
void ShowingErrors(F&& f) {
  try {
    f();
  } catch (const host::EPresenterError&) {
    throw;
  } catch (const host::Exception& e) {
    host::Application().ShowException(e);
  } catch (const std::exception& e) {
    host::Application().ShowException(host::Exception(e.what()));
  }
}

// Copies bytes [from, from + count) of `source` to `dest` at `at`, piece by
// piece; `before` runs before each piece. False when a read or write falls short.
template <class F>
bool CopyRange(os::TWinFile& source, int64_t from, int64_t count, os::TWinFile& dest, int64_t at,
               F&& before) {
  std::string buf(kCopyPiece, '\0');
  while (count > 0) {
    before();
    const size_t n = static_cast<size_t>(std::min<int64_t>(count, kCopyPiece));
    if (source.Read(static_cast<uint64_t>(from), buf.data(), n) != static_cast<int64_t>(n))
      return false;
    if (dest.Write(static_cast<uint64_t>(at), buf.data(), n) != static_cast<int64_t>(n))
      return false;
    from += static_cast<int64_t>(n);
    at += static_cast<int64_t>(n);
    count -= static_cast<int64_t>(n);
  }
  return true;
}

// Appends the file at `path` to `dest` (of `size` bytes so far); the offsets
// of its first and last byte. False when it cannot be read or written whole,
// or would lie past what a trailer can name.
bool AppendFile(const std::string& path, os::TWinFile& dest, int64_t& size, int32_t& first,
                int32_t& last) {
  auto source = os::TWinFile::Open(path, os::TFileAccess::Read, os::TFileShare::DenyNone);
  if (!source) return false;
  const int64_t n = source->Size();
  if (n <= 0 || size + n - 1 > INT32_MAX) return false;
  if (!CopyRange(*source, 0, n, dest, size, [] {})) return false;
  first = static_cast<int32_t>(size);
  last = static_cast<int32_t>(size + n - 1);
  size += n;
  return true;
}

}  // namespace

void TCustomInstall::RunBuildMode() {
  ShowingErrors([this] {
    const std::string program = host::Application().ParamStr(0);
    const std::string inf = IncludeTrailingBackslash(host::ExtractFilePath(program)) + "BUILD.INF";
    std::string text;
    if (!os::WinFileExists(inf))
      throw IEInstall(
          "Need to have a BUILD.INF file in this directory with the first line specifying the "
          "build directory");
    auto file = os::TWinFile::Open(inf, os::TFileAccess::Read, os::TFileShare::DenyNone);
    if (file) {
      text.resize(kMaxBuildInfSize);
      const int64_t n = file->Read(0, text.data(), text.size());
      text.resize(n < 0 ? 0 : static_cast<size_t>(n));
    }
    std::string dir;
    if (!ParseBuildInf(text, dir))
      throw IEInstall("Must be 1 line in BUILD.INF. This line should specify the build directory");
    BuildDistribution(program, dir, true);
  });
  host::Application().Terminate();
}

void TCustomInstall::BuildDistribution(const std::string& programPath,
                                       const std::string& buildDirectory, bool standAlone) {
  if (standAlone && !use_loading_program_)
    throw IEInstall(
        "Cannot build a stand alone executable if the UseLoadingProgram property of the TInstall "
        "is set to False");
  const std::string dir = RemoveTrailingBackslash(buildDirectory);
  const std::string setupExe = dir + "\\setup.exe";
  std::string target = setupExe;

  OnBeforeCopyProgram(this);
  if (use_loading_program_) {
    CreateSetupArchive(dir, programPath);
    std::string library;
    try {
      library = GetLibraryDirectory(true);
    } catch (const host::Exception&) {
      throw IEInstall(
          "The HKEY_LOCAL_MACHINE | %s key in the registry is either missing or points to an "
          "invalid QEL directory",
          {std::string("\\Software\\TORV\\O32V52")});
    }
    const std::string loader = IncludeTrailingBackslash(library) + "OrlaneLoadProgram.exe";
    if (!os::WinFileExists(loader)) throw IEInstall("The loader program %s was not found", {loader});
    if (!os::WinCopyFile(loader, setupExe, false))
      throw IEInstall("Cannot copy the loading program from %s to %s", {loader, setupExe});
  } else {
    target = dir + "\\" + host::ExtractFileName(programPath);
    os::WinForceDirectories(dir);
    if (!os::WinCopyFile(programPath, target, false))
      throw IEInstall("Cannot copy the installation application from %s to %s",
                      {programPath, target});
  }
  OnAfterCopyProgram(this);

  OnBeforeBuildArchive(this);
  {
    struct TArchiveSetting {
      TCustomInstall& install;
      TCustomPathSpecifier* type;
      std::string file;
      ~TArchiveSetting() {
        install.SetArchiveFileType(type);
        install.SetArchiveFile(file);
      }
    } saved{*this, ArchiveFileType(), ArchiveFile()};
    SetArchiveFileType(nullptr);
    SetArchiveFile(dir + "\\files.1");
    BuildArchive(distribute_type_ == dtWeb               ? kWebBuild
                 : distribute_type_ == dtTraditionalNet ? kTraditionalNetBuild
                                                         : kTraditionalBuild);
    if (distribute_type_ != dtTraditional) WriteRemoteFileList();
  }
  OnAfterBuildArchive(this);

  OnBeforeWriteSelfExtract(this);
  TSelfExtractTrailer trailer;
  if (standAlone) {
    const std::string setup1 = dir + "\\setup.1";
    const std::string files1 = dir + "\\files.1";
    auto failed = [&](const std::string& what) {
      return IEInstall("Cannot create the self-extracting exe because %s could not be loaded onto %s",
                       {what, setupExe});
    };
    auto dest = os::TWinFile::Open(setupExe, os::TFileAccess::ReadWrite, os::TFileShare::Exclusive);
    if (!dest) throw failed(setup1);
    int64_t size = dest->Size();
    trailer.SelfExtracting = true;
    if (!AppendFile(setup1, *dest, size, trailer.SetupStart, trailer.SetupEnd)) throw failed(setup1);
    if (os::WinFileExists(files1) &&
        !AppendFile(files1, *dest, size, trailer.FilesStart, trailer.FilesEnd))
      throw failed(files1);
    const std::string bytes = MakeTrailer(trailer);
    if (dest->Write(static_cast<uint64_t>(size), bytes.data(), bytes.size()) !=
        static_cast<int64_t>(bytes.size()))
      throw failed(files1);
  } else {
    auto dest = os::TWinFile::Open(target, os::TFileAccess::ReadWrite, os::TFileShare::Exclusive);
    const std::string bytes = MakeTrailer(trailer);
    if (!dest || dest->Write(static_cast<uint64_t>(dest->Size()), bytes.data(), bytes.size()) !=
                     static_cast<int64_t>(bytes.size()))
      throw IEInstall("Cannot add the self-extract info header to %s", {target});
  }
  OnAfterWriteSelfExtract(this);
}

void TCustomInstall::CreateSetupArchive(const std::string& buildDirectory,
                                        const std::string& programPath) {
  if (host::Trim(programPath).empty())
    throw IEInstall("Cannot create setup file. Executable is blank");
  if (!os::WinFileExists(programPath))
    throw IEInstall("TInstall: Cannot find the executable file %s", {programPath});
  const std::string archive = RemoveTrailingBackslash(buildDirectory) + "\\setup.1";
  auto add = [&](const std::string& source, TArchiveMode mode) {
    TInstallFile file(nullptr);
    file.SetNet(false);
    file.SetIncludeFromDir(RemoveTrailingBackslash(host::ExtractFilePath(source)));
    file.SetFileName(host::ExtractFileName(source));
    file.SetArchiveFileType(nullptr);
    file.SetArchiveFile(archive);
    file.SetAddToArchive(mode);
    try {
      file.SetState(ifsCompress);
    } catch (const EocDiskFull&) {
      throw IEInstall(
          "The disk that you have specified has been determined to be either too full or is "
          "corrupt while trying to copy the SETUP.1 archive file. You should probably clear all "
          "files off of the drive. Minimally, you should leave enough space on the drive for the "
          "SETUP.1 archive file.");
    }
  };
  add(programPath, lzcOverwrite);
  for (int i = 0; i < presetup_files_.Count(); ++i) add(presetup_files_.Strings(i), lzcOnlyAdd);
}

void TCustomInstall::WriteRemoteFileList() {
  const std::string dir = host::ExtractFileDir(NetArchivePathFor(NetLocation(), "filelist"));
  if (dir.empty()) return;
  os::WinForceDirectories(dir);
  std::string data(4, '\0');
  int32_t count = 0;
  for (int i = 0; i < InstallGlobals().InstallFiles.Count(); ++i) {
    const TCustomInstallFile* f = InstallGlobals().InstallFiles.Items(i);
    if (f->ArchiveEntryState() != aesCompress && f->ArchiveEntryState() != aesInstall) continue;
    data += f->ArchiveSummary();
    ++count;
  }
  host::PutU32(data.data(), static_cast<uint32_t>(count));
  const std::string path = dir + "\\filelist.lst";
  if (!os::WinWriteWholeFile(path, data))
    throw IEInstall("%s cannot write the remote list of files %s", {Name(), path});
}

void TCustomInstall::TransferToFloppies(const std::string& drive) {
  ShowingErrors([this, &drive] {
    host::THourglass hourglass;
    if (!HasOption(ioSelfExtract))
      throw IEInstall(
          "Sorry... You can only transfer this installation to floppies through the "
          "self-extracting file. Usage example: setup.exe *TODISK");
    const std::string archive = GetArchivePath();
    TSelfExtractTrailer trailer;
    if (!ReadTrailerFile(archive, trailer) || !trailer.SelfExtracting)
      throw IEInstall(
          "Could not read the extraction info from the archive file %s when trying to find the "
          "correct offset into the self extracting file",
          {archive});
    ShowStatusMessage("Transferring this installation to floppies. Please wait...");
    struct THide {
      TCustomInstall& install;
      ~THide() {
        try {
          install.HideStatusMessage();
        } catch (...) {
        }
      }
    } hide{*this};
    auto source = os::TWinFile::Open(archive, os::TFileAccess::Read, os::TFileShare::DenyNone);
    if (!source)
      throw IEInstall(
          "Could not read the extraction info from the archive file %s when trying to find the "
          "correct offset into the self extracting file",
          {archive});
    const std::string root = RemoveTrailingBackslash(drive);
    TOrlnCompress& compress = InstallGlobals().Compress;
    compress.SetAbort(false);

    // The loader alone, marked as not self-extracting.
    {
      const std::string path = root + "\\setup.exe";
      const char* full = "Cannot create setup.exe on the A drive. Probably not enough room";
      auto dest = os::TWinFile::Create(path, os::TFileCreation::CreateAlways);
      if (!dest || !CopyRange(*source, 0, trailer.SetupStart, *dest, 0, [] {})) throw IEInstall(full);
      TSelfExtractTrailer none;
      const std::string bytes = MakeTrailer(none);
      if (dest->Write(static_cast<uint64_t>(trailer.SetupStart), bytes.data(), bytes.size()) !=
          static_cast<int64_t>(bytes.size()))
        throw IEInstall(full);
    }
    {
      const std::string path = root + "\\setup.1";
      auto dest = os::TWinFile::Create(path, os::TFileCreation::CreateAlways);
      const int64_t count = static_cast<int64_t>(trailer.SetupEnd) - trailer.SetupStart + 1;
      auto checkAbort = [&compress] {
        host::Application().ProcessMessages();
        if (compress.Abort()) throw EUserAbortInstall();
      };
      if (!dest || !CopyRange(*source, trailer.SetupStart, count, *dest, 0, checkAbort))
        throw IEInstall("Cannot create setup.1 on the A drive. Probably not enough room");
    }
    source.reset();
    if (trailer.FilesStart == 0) return;
    struct THooks {
      TOrlnCompress& c;
      ~THooks() {
        c.OnNewDisk = nullptr;
        c.OnStatus = nullptr;
        c.OnProcessMessages = nullptr;
      }
    } hooks{compress};
    compress.OnNewDisk = [](TOrlnCompress&, int volume, std::string&) {
      const std::string text = host::Format(TranslateString("Please insert disk %d"), {volume});
      if (host::Application().MessageBox(text, host::Application().Title(),
                                         host::MB_OKCANCEL | host::MB_ICONINFORMATION) != host::IDOK)
        throw EUserAbortInstall("Aborted by user");
    };
    compress.OnStatus = [this](TOrlnCompress&, const TOrlnCompressStatus& s) {
      TFileStatusParameter status;
      status.FileName = s.FileName;
      status.ArchiveStatus = s;
      Broadcast(this, imFileStatus, &status);
    };
    compress.OnProcessMessages = [](TOrlnCompress&) { host::Application().ProcessMessages(); };
    compress.SetCompressedFile(archive);
    compress.SetOffset(trailer.FilesStart);
    compress.CopyToVolumes(root, "files.1");
    if (compress.Abort()) throw EUserAbortInstall();
  });
  host::Application().Terminate();
}

}  // namespace orln
