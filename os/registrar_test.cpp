#include "os/registrar.h"

#include <gtest/gtest.h>

#include "os/machine.h"
#include "os/testing/test_machine.h"
#include "os/win_error.h"
#include "os/win_file.h"

namespace os {
namespace {

class RegistrarTest : public test::MachineTest {};

TEST_F(RegistrarTest, RecordsEachRegistrationAndFailsOnCue) {
  ASSERT_TRUE(WinWriteWholeFile("C:\\ctl.ocx", "x"));
  ASSERT_TRUE(WinWriteWholeFile("C:\\types.tlb", "x"));
  EXPECT_TRUE(RegisterServer(TRegistrationKind::Library, "C:\\ctl.ocx").Ok());
  EXPECT_TRUE(RegisterServer(TRegistrationKind::TypeLibrary, "C:\\types.tlb", "C:\\").Ok());
  // A missing file fails at loading and is not recorded.
  const TRegistrationResult missing = RegisterServer(TRegistrationKind::Program, "C:\\none.exe");
  EXPECT_EQ(missing.Stage, TRegistrationStage::Load);
  EXPECT_EQ(missing.Code, static_cast<int32_t>(winerr::kFileNotFound));
  // The hook names a file in any case and stops it where it says.
  SetRegistrationFault("c:\\CTL.OCX", TRegistrationStage::EntryPoint, 127);
  const TRegistrationResult hooked = RegisterServer(TRegistrationKind::Library, "C:\\ctl.ocx");
  EXPECT_EQ(hooked.Stage, TRegistrationStage::EntryPoint);
  EXPECT_EQ(GetLastWinError(), 127u);
  SetRegistrationFault("C:\\ctl.ocx", TRegistrationStage::Done, 0);
  EXPECT_TRUE(RegisterServer(TRegistrationKind::Library, "C:\\ctl.ocx").Ok());

  const std::vector<TRegistration> all = ReadRegistrations();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].Kind, TRegistrationKind::Library);
  EXPECT_EQ(all[0].Path, "C:\\ctl.ocx");
  EXPECT_EQ(all[1].Kind, TRegistrationKind::TypeLibrary);
  EXPECT_EQ(all[1].HelpDirectory, "C:\\");
  EXPECT_EQ(all[2].Path, "C:\\ctl.ocx");
}

TEST_F(RegistrarTest, ADamagedRecordNamesItsLine) {
  ASSERT_TRUE(WriteMachineFile(machine_->Root() + "/registrations.txt",
                               "library\tC:\\a.dll\nno tab here\n"));
  try {
    ReadRegistrations();
    FAIL() << "nothing thrown";
  } catch (const EDamagedFile& e) {
    EXPECT_NE(std::string(e.what()).find("line 2"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace os
