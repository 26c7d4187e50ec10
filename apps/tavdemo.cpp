// A small host program: starts the engine, provokes a numbered error, catches
// it and prints the trace log. It grows with the engine.
#include <cstdio>

#include "engine/storage/tav_errors.h"
#include "engine/storage/tav_logger.h"
#include "host/classes/component.h"

int main() {
  tav::TavEngineStartup();
  std::printf("Tavrin demo on %s (%s)\n", tav::GetCurrentComputer().c_str(),
              tav::GetOSDetails().c_str());

  host::TComponent database(nullptr);
  database.SetName("DemoDatabase");
  try {
    tav::TavDatabaseError(8579, "TDemo.Run", "table CUSTOMERS", &database);
  } catch (const tav::ETavDatabaseError& e) {
    std::printf("Caught %s (code %d):\n%s\n\n", e.ClassName().c_str(), e.ErrorCode(),
                e.Message().c_str());
  }

  std::printf("Trace log:\n");
  for (const auto& line : tav::GDBLogger()->LogItems()) std::printf("%s\n", line.c_str());
  tav::TavEngineShutdown();
  return 0;
}
