#include "host/forms/presenter.h"

#include <cstdlib>
#include <map>

#include "host/forms/forms.h"
#include "host/forms/scripted_presenter.h"
#include "host/forms/std_controls.h"
#include "host/forms/terminal_presenter.h"

namespace host {

std::vector<TMessageButton> MessageBoxButtons(int flags) {
  switch (flags & 0xF) {
    case MB_OKCANCEL: return {{"OK", IDOK}, {"Cancel", IDCANCEL}};
    case MB_ABORTRETRYIGNORE: return {{"Abort", IDABORT}, {"Retry", IDRETRY}, {"Ignore", IDIGNORE}};
    case MB_YESNOCANCEL: return {{"Yes", IDYES}, {"No", IDNO}, {"Cancel", IDCANCEL}};
    case MB_YESNO: return {{"Yes", IDYES}, {"No", IDNO}};
    case MB_RETRYCANCEL: return {{"Retry", IDRETRY}, {"Cancel", IDCANCEL}};
    default: return {{"OK", IDOK}};
  }
}

int MessageBoxDefault(int flags) {
  const std::vector<TMessageButton> buttons = MessageBoxButtons(flags);
  size_t i = (flags & MB_DEFBUTTON3) ? 2 : (flags & MB_DEFBUTTON2) ? 1 : 0;
  if (i >= buttons.size()) i = 0;
  return buttons[i].Id;
}

std::string FormTitle(const TCustomForm& form) {
  std::string s = form.ClassName();
  if (!form.Name().empty()) s += " " + form.Name();
  return s;
}

TCustomForm& CurrentPage(TCustomForm& form) {
  for (int i = form.ControlCount() - 1; i >= 0; --i) {
    auto* page = dynamic_cast<TCustomForm*>(form.Controls(i));
    if (page && page->Visible()) return CurrentPage(*page);
  }
  // Pages may sit in a panel of the host.
  std::vector<TControl*> controls;
  CollectShowingControls(form, controls);
  for (auto it = controls.rbegin(); it != controls.rend(); ++it)
    if (auto* page = dynamic_cast<TCustomForm*>(*it)) return CurrentPage(*page);
  return form;
}

namespace {

bool Enabled(const TControl& c) {
  for (const TControl* p = &c; p; p = p->Parent())
    if (!p->Enabled()) return false;
  return true;
}

std::string Items(const TStrings& items, int chosen) {
  std::string s;
  for (int i = 0; i < items.Count(); ++i) {
    s += i == chosen ? " (*) " : " ( ) ";
    s += items.Strings(i);
  }
  return s;
}

}  // namespace

std::vector<TShownControl> ShownControls(const TCustomForm& form) {
  std::vector<TControl*> controls;
  CollectShowingControls(form, controls);
  std::vector<TShownControl> out;
  for (TControl* c : controls) {
    TShownControl s;
    s.Control = c;
    const bool enabled = Enabled(*c);
    if (auto* b = dynamic_cast<TButton*>(c)) {
      s.Text = "<" + b->Caption() + ">";
      s.Actionable = enabled;
    } else if (auto* cb = dynamic_cast<TCheckBox*>(c)) {
      s.Text = std::string(cb->Checked() ? "[x] " : "[ ] ") + cb->Caption();
      s.Actionable = enabled;
    } else if (auto* rg = dynamic_cast<TRadioGroup*>(c)) {
      s.Text = rg->Caption() + ":" + Items(rg->Items(), rg->ItemIndex());
      s.Actionable = enabled && rg->Items().Count() > 0;
    } else if (auto* lb = dynamic_cast<TListBox*>(c)) {
      s.Text = Items(lb->Items(), lb->ItemIndex());
      s.Actionable = enabled && lb->Items().Count() > 0;
    } else if (auto* cmb = dynamic_cast<TComboBox*>(c)) {
      s.Text = "[" + cmb->Text() + "]" + Items(cmb->Items(), cmb->ItemIndex());
      s.Actionable = enabled;
    } else if (auto* m = dynamic_cast<TCustomMemo*>(c)) {
      s.Text = m->Text();
      s.Actionable = enabled && !m->ReadOnly();
    } else if (auto* e = dynamic_cast<TCustomEdit*>(c)) {
      s.Text = "[" + e->Text() + "]";
      s.Actionable = enabled && !e->ReadOnly();
    } else if (auto* pb = dynamic_cast<TProgressBar*>(c)) {
      s.Text = std::to_string(pb->Percent()) + "%";
    } else if (auto* tc = dynamic_cast<TTabControl*>(c)) {
      if (tc->Tabs().Count() == 0 || tc->Height() == 0) continue;
      s.Text = Items(tc->Tabs(), tc->TabIndex());
      s.Actionable = enabled;
    } else if (dynamic_cast<TCustomForm*>(c) || dynamic_cast<TImage*>(c)) {
      continue;
    } else if (auto* lv = dynamic_cast<TListView*>(c)) {
      for (int i = 0; i < lv->Items().Count(); ++i) s.Text += (i ? ", " : "") + lv->Items().Item(i).Caption;
      s.Actionable = enabled && lv->Items().Count() > 0;
    } else {
      if (c->Caption().empty()) continue;
      s.Text = c->Caption();
    }
    out.push_back(std::move(s));
  }
  return out;
}

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

bool EnvFlag(const char* name) {
  const std::string v = Env(name);
  return !v.empty() && v != "0";
}

// Filled by static initialisers of the libraries a program links: a
// function-local static, so that it exists before the first of them runs.
// Registration happens before main, reading after: no lock.
std::map<std::string, TPresenterFactory>& Factories() {
  static std::map<std::string, TPresenterFactory> factories;
  return factories;
}

// Names a program may be built without, with what builds them in.
const char* BuiltWithout(const std::string& name) {
  if (name == "window") return "the windowed presenter (CMake option TAV_WINDOWED, with FLTK 1.3)";
  return nullptr;
}

}  // namespace

void RegisterPresenter(const std::string& name, TPresenterFactory factory) {
  Factories()[name] = std::move(factory);
}

void UnregisterPresenter(const std::string& name) { Factories().erase(name); }

bool PresenterRegistered(const std::string& name) { return Factories().count(name) != 0; }

TPresenterOptions TakePresenterOptions(std::vector<std::string>& args) {
  TPresenterOptions o;
  bool presenterGiven = false, answersGiven = false, unattendedGiven = false, strictGiven = false,
       transcriptGiven = false;
  std::vector<std::string> rest;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string_view option, std::string& out) {
      if (a.compare(0, option.size(), option) != 0) return false;
      if (a.size() == option.size()) throw EPresenterError("The option " + a + " needs a value");
      out = a.substr(option.size());
      return true;
    };
    std::string v;
    if (i > 0 && value("--presenter=", v)) {
      o.Presenter = v;
      presenterGiven = true;
    } else if (i > 0 && value("--answers=", v)) {
      o.AnswersFile = v;
      answersGiven = true;
    } else if (i > 0 && value("--answer=", v)) {
      o.Answers.push_back(v);
    } else if (i > 0 && value("--transcript=", v)) {
      o.TranscriptFile = v;
      transcriptGiven = true;
    } else if (i > 0 && a == "--unattended") {
      o.Unattended = unattendedGiven = true;
    } else if (i > 0 && a == "--strict") {
      o.Strict = strictGiven = true;
    } else {
      rest.push_back(a);
    }
  }
  args = std::move(rest);
  if (!presenterGiven) o.Presenter = Env("TAV_PRESENTER");
  if (!answersGiven) o.AnswersFile = Env("TAV_ANSWERS");
  if (!unattendedGiven) o.Unattended = EnvFlag("TAV_UNATTENDED");
  if (!strictGiven) o.Strict = EnvFlag("TAV_STRICT");
  if (!transcriptGiven) o.TranscriptFile = Env("TAV_TRANSCRIPT");
  if (!o.Presenter.empty() && o.Presenter != "terminal" && o.Presenter != "scripted" &&
      !PresenterRegistered(o.Presenter)) {
    if (const char* what = BuiltWithout(o.Presenter))
      throw EPresenterError("This program was built without the presenter " + o.Presenter + ": " + what);
    std::string known = "terminal or scripted";
    for (const auto& [name, factory] : Factories()) known = name + ", " + known;
    throw EPresenterError("Unknown presenter " + o.Presenter + " (" + known + ")");
  }
  return o;
}

std::unique_ptr<TPresenter> CreatePresenter(const TPresenterOptions& options) {
  const bool scripted = options.Presenter == "scripted" ||
                        (options.Presenter.empty() &&
                         (!options.AnswersFile.empty() || !options.Answers.empty() || options.Unattended));
  if (!scripted) {
    std::string why;
    if (!options.Presenter.empty() && options.Presenter != "terminal") {
      auto it = Factories().find(options.Presenter);
      if (it == Factories().end()) throw EPresenterError("Unknown presenter " + options.Presenter);
      if (it->second.Usable && !it->second.Usable(why))
        throw EPresenterError("The presenter " + options.Presenter + " cannot work here: " + why);
      return it->second.Create(options);
    }
    if (options.Presenter.empty())
      for (const auto& [name, factory] : Factories())
        if (factory.Preferred && (!factory.Usable || factory.Usable(why))) return factory.Create(options);
    return std::make_unique<TTerminalPresenter>();
  }
  auto p = std::make_unique<TScriptedPresenter>();
  if (!options.AnswersFile.empty()) p->LoadAnswersFile(options.AnswersFile);
  for (const std::string& a : options.Answers) p->AddAnswer(a);
  p->SetStrict(options.Strict);
  if (!options.TranscriptFile.empty()) p->SetTranscriptFile(options.TranscriptFile);
  return p;
}

}  // namespace host
