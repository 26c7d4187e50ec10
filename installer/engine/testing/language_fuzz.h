// The fuzz body for the language-file parser: any text is either parsed into
// entries whose line indexes lie inside it, or refused with ELanguageFile
// naming a line inside it. Used by the libFuzzer target and by a test that
// replays generated inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "host/rtl/streams.h"
#include "installer/engine/language.h"

namespace orln {

inline void FuzzLanguageFile(const uint8_t* data, size_t size) {
  translator::TLanguage lang(olEnglish);
  host::TMemoryStream stream;
  stream.Write(data, static_cast<int32_t>(size));
  stream.SetPosition(0);
  try {
    lang.Strings().LoadFromStream(stream);
  } catch (const ELanguageFile& e) {
    if (e.Line() < 0 || e.Line() > lang.Strings().Count()) {
      throw std::logic_error("damage outside the text");
    }
    if (!lang.Entries().empty() || !lang.Memos().empty()) {
      throw std::logic_error("entries survive a failed parse");
    }
    return;
  }
  const int lines = lang.Strings().Count();
  for (const auto& e : lang.Entries()) {
    if (e->LineIndex < 0 || e->LineIndex >= lines || lang.FindGLID(e->GLID) == nullptr ||
        lang.FindText(e->Text) == nullptr) {
      throw std::logic_error("an entry that cannot be found");
    }
  }
  for (const auto& m : lang.Memos()) {
    if (m->LineIndex < 0 || m->LineIndex >= lines || lang.FindMemoGLID(m->GLID) == nullptr) {
      throw std::logic_error("a memo that cannot be found");
    }
  }
}

}  // namespace orln
