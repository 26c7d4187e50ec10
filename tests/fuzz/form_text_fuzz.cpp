// Random form text read into the registered form classes (a plain form, a
// data module and a wizard page with handlers): nothing may crash, hang or
// leak; a text that reads writes a text that reads back to itself.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "host/classes/component_text.h"
#include "host/classes/testing/stream_test_classes.h"
#include "host/forms/forms.h"
#include "host/forms/presenter.h"
#include "host/forms/std_controls.h"
#include "host/forms/testing/test_forms.h"

namespace {

using namespace host;

// A root of each class, made without reading its own embedded text.
std::unique_ptr<TComponent> NewRoot(int kind) {
  switch (kind) {
    case 0: return std::make_unique<TForm>(nullptr);
    case 1: return std::make_unique<TDataModule>(nullptr);
    default: return std::make_unique<test::TWizardTest>(nullptr);
  }
}

// A user who keeps nothing (a transcript would grow with every input) and
// takes every default.
class TQuietPresenter : public TPresenter {
 public:
  TUserAction WaitAction(TCustomForm& form) override {
    TUserAction a;
    a.Kind = TUserAction::uaClose;
    a.Form = &form;
    return a;
  }
  bool PendingAction(TUserAction&) override { return false; }
  int MessageBox(const std::string&, const std::string&, int flags) override {
    return MessageBoxDefault(flags);
  }
  bool BrowseForFolder(const std::string&, std::string&) override { return false; }
};

void Setup() {
  static bool done = false;
  if (done) return;
  done = true;
  test::RegisterTestForms();
  // Handlers that fail show their message to that user.
  Application().SetPresenter(std::make_unique<TQuietPresenter>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setup();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (int kind = 0; kind < 3; ++kind) {
    std::unique_ptr<TComponent> root = NewRoot(kind);
    try {
      ReadComponent(text, *root, test::FuzzLimits());
    } catch (const EReadError&) {
      continue;
    }
    const std::string once = WriteComponent(*root);
    std::unique_ptr<TComponent> again = NewRoot(kind);
    try {
      ReadComponent(once, *again);
    } catch (const EReadError& e) {
      std::fprintf(stderr, "written text does not read: %s\n%s\n", e.what(), once.c_str());
      std::abort();
    }
    if (WriteComponent(*again) != once) {
      std::fprintf(stderr, "form text did not round-trip:\n%s\n", once.c_str());
      std::abort();
    }
    break;
  }
  return 0;
}
