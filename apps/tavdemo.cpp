// A small host program: starts the engine, creates a database file guarded by
// a master key, stores a few pages, opens it again with the right and the
// wrong key, and prints the trace log. It grows with the engine.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/storage/file/disk_mgr.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_logger.h"
#include "host/classes/component.h"
#include "host/rtl/string_list.h"

namespace {

void OpenWithKey(const std::string& path, const std::string& key) {
  tav::TDiskMgr disk;
  disk.SetFileName(path);
  disk.Open();
  disk.SetCryptKey(key);
  tav::TSecurityHeader header;
  disk.ReadSecurityHeader(header);  // raises 8451 for a wrong key
  host::TStringList users;
  disk.GetCurrentUsers(users);
  std::printf("Opened %s with the right key: %lld bytes, %d connection line(s): %s\n",
              path.c_str(), static_cast<long long>(disk.GetFileSize()), users.Count(),
              users.Count() ? users.Strings(0).c_str() : "");
  disk.Close();
}

}  // namespace

int main() {
  tav::TavEngineStartup();
  std::printf("Tavrin demo on %s (%s)\n\n", tav::GetCurrentComputer().c_str(),
              tav::GetOSDetails().c_str());
  const std::string path = "/tmp/tavdemo_" + std::to_string(::getpid()) + ".tav";

  host::TComponent database(nullptr);
  database.SetName("DemoDatabase");
  try {
    {
      tav::TDiskMgr disk;
      disk.SetFileName(path);
      disk.CreateNewFile(true);
      disk.Open();
      disk.SetCryptKey("open sesame");
      tav::TSecurityHeader header;
      disk.WriteSecurityHeader(header);
      std::vector<uint8_t> pages(3 * disk.PageSize(), 0x5A);
      uint32_t at = disk.WriteNewPages(7, 9, pages.data(), 3, tav::kAccessCached);
      std::printf("Created %s; three pages of table 7 stored at offset %u\n", path.c_str(), at);
      disk.Close();
    }
    OpenWithKey(path, "open sesame");
    OpenWithKey(path, "open says me");
  } catch (const tav::ETavDatabaseError& e) {
    std::printf("\nCaught %s (code %d):\n%s\n", e.ClassName().c_str(), e.ErrorCode(),
                e.Message().c_str());
  }
  try {
    tav::TavDatabaseError(8579, "TDemo.Run", "table CUSTOMERS", &database);
  } catch (const tav::ETavDatabaseError& e) {
    std::printf("\nCaught %s (code %d):\n%s\n", e.ClassName().c_str(), e.ErrorCode(),
                e.Message().c_str());
  }

  std::printf("\nTrace log:\n");
  for (const auto& line : tav::GDBLogger()->LogItems()) std::printf("%s\n", line.c_str());
  std::remove(path.c_str());
  tav::TavEngineShutdown();
  return 0;
}
