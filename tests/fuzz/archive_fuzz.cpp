// Random archives through the archive reader: the headers are loaded and every
// entry is extracted into a scratch folder. Each input either reads or gives
// the archive's own error; nothing is written outside the extract folder, and
// what is written there is exactly the entries that came back whole.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "installer/engine/archive/orln_compress.h"
#include "installer/engine/base/orln_exceptions.h"
#include "os/machine.h"
#include "os/testing/test_support.h"
#include "os/win_file.h"

namespace {

struct TScratch {
  os::test::TTempDir dir;
  std::unique_ptr<os::TMachine> machine = os::TMachine::Open(dir.Path() + "/machine");
  os::TScopedMachine scoped{*machine};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TScratch scratch;
  namespace fs = std::filesystem;
  const std::string work = scratch.machine->DriveFolder('C') + "/fuzz";
  fs::remove_all(work);
  fs::create_directories(work + "/out");
  // Written on the host side: the machine's own whole-file write syncs, which
  // would make each run wait on the disk.
  os::test::WriteWholeFile(work + "/files.1",
                           std::string(reinterpret_cast<const char*>(data), size));

  orln::TOrlnCompress reader(nullptr);
  reader.SetCompressedFile("C:\\fuzz\\files.1");
  reader.SetExtractDirectory("C:\\fuzz\\out");
  int count = 0;
  try {
    count = reader.Count();
  } catch (const orln::EOrlnCompress&) {
    return 0;
  }
  FUZZ_CHECK(count >= 0 && static_cast<size_t>(count) * orln::kFileHeaderSize <= size);
  std::vector<std::string> whole;
  for (int i = 0; i < count; ++i) {
    const orln::TFileHeader h = reader.Headers().GetFileHeader(i);
    reader.FilesToProcess().Clear();
    reader.FilesToProcess().Add(h.SourcePath);
    try {
      reader.Extract();
      whole.push_back(h.SourcePath);
    } catch (const orln::EOrlnCompress&) {
    }
  }
  // Only files.1 and the extract folder are in the work folder.
  for (const auto& e : fs::directory_iterator(work)) {
    const std::string name = e.path().filename().string();
    FUZZ_CHECK(name == "files.1" || name == "out");
  }
  for (const auto& e : fs::recursive_directory_iterator(work + "/out")) {
    FUZZ_CHECK(e.is_regular_file());
  }
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(work + "/out")) {
    (void)e;
    ++files;
  }
  FUZZ_CHECK(files <= whole.size());
  FUZZ_CHECK(whole.empty() || files > 0);
  return 0;
}
