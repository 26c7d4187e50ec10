#include "host/rtl/format_settings.h"

#include <atomic>

namespace host {

namespace {

const TFormatSettings kDefaultSettings;
std::atomic<const TFormatSettings*> gInstalled{nullptr};

}  // namespace

const TFormatSettings& CurrentFormatSettings() {
  const TFormatSettings* s = gInstalled.load(std::memory_order_acquire);
  return s ? *s : kDefaultSettings;
}

const TFormatSettings* SetFormatSettings(const TFormatSettings* settings) {
  return gInstalled.exchange(settings, std::memory_order_acq_rel);
}

}  // namespace host
