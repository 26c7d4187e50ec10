// Random text through the translator's language-file parser. A text either
// parses, or is refused with ELanguageFile naming a line inside it and
// leaving the language without entries; nothing else may escape. Every entry
// parsed lies on a line of the text and is found again by its GLID and its
// text.
#include <cstdint>
#include <exception>
#include <string>

#include "fuzz_check.h"
#include "host/rtl/streams.h"
#include "installer/engine/translation/language.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orln::translator::TLanguage lang(orln::olEnglish);
  host::TMemoryStream stream;
  if (size > 0) stream.Write(data, static_cast<int32_t>(size));
  stream.SetPosition(0);
  try {
    lang.Strings().LoadFromStream(stream);
  } catch (const orln::ELanguageFile& e) {
    FUZZ_CHECK(size > orln::kMaxLanguageFileSize ||
               (e.Line() >= 1 && e.Line() <= lang.Strings().Count()));
    FUZZ_CHECK(lang.Entries().empty() && lang.Memos().empty());
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "raised: %s\n", e.what());
    FUZZ_CHECK(!"the parser raised something other than ELanguageFile");
  }
  const int lines = lang.Strings().Count();
  for (const auto& e : lang.Entries()) {
    FUZZ_CHECK(e->LineIndex >= 0 && e->LineIndex < lines);
    FUZZ_CHECK(lang.FindGLID(e->GLID) != nullptr);
    FUZZ_CHECK(lang.FindText(e->Text) != nullptr);
  }
  for (const auto& m : lang.Memos()) {
    FUZZ_CHECK(m->LineIndex >= 0 && m->LineIndex < lines);
    FUZZ_CHECK(lang.FindMemoGLID(m->GLID) != nullptr);
  }
  return 0;
}
