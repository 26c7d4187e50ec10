#include "os/critical_section.h"

namespace os {

void TCriticalSection::Enter() {
  mutex_.lock();
}

void TCriticalSection::Leave() {
  mutex_.unlock();
}

bool TCriticalSection::TryEnter() {
  return mutex_.try_lock();
}

}  // namespace os
