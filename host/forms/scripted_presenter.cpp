#include "host/forms/scripted_presenter.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "host/forms/forms.h"
#include "host/forms/std_controls.h"
#include "host/rtl/sys_utils.h"

namespace host {

namespace {

constexpr int kMaxDefaultAnswers = 1000;
constexpr size_t kMaxAnswersBytes = 1 << 20;

// The next blank-separated word of `rest`, taken off it.
std::string_view Word(std::string_view& rest) {
  size_t i = 0;
  while (i < rest.size() && (rest[i] == ' ' || rest[i] == '\t')) ++i;
  size_t j = i;
  while (j < rest.size() && rest[j] != ' ' && rest[j] != '\t') ++j;
  const std::string_view w = rest.substr(i, j - i);
  // One blank after the word belongs to it, so that the rest of a "type"
  // line is the text exactly.
  rest = rest.substr(j < rest.size() ? j + 1 : j);
  return w;
}

TCustomForm* FormOwning(TControl& c) {
  if (auto* f = dynamic_cast<TCustomForm*>(c.Owner())) return f;
  return c.HostingForm();
}

}  // namespace

TScriptedPresenter::TScriptedPresenter() = default;
TScriptedPresenter::~TScriptedPresenter() = default;

TScriptedPresenter::TLine TScriptedPresenter::ParseLine(std::string_view line, const std::string& where) {
  TLine l;
  l.Where = where;
  std::string_view rest = line;
  l.Verb = LowerCase(Word(rest));
  auto bad = [&](const std::string& why) -> EPresenterError {
    return EPresenterError(where + ": " + why + " (" + std::string(line) + ")");
  };
  if (l.Verb == "click" || l.Verb == "check" || l.Verb == "choose" || l.Verb == "type") {
    l.Control = std::string(Word(rest));
    if (l.Control.empty()) throw bad("a control name is missing");
    l.Value = std::string(rest);
    if (l.Verb == "click" && !l.Value.empty()) throw bad("a click takes nothing after the control");
    if (l.Verb == "check" && l.Value != "0" && l.Value != "1") throw bad("check takes 1 or 0");
    if (l.Verb == "choose" && l.Value.empty()) throw bad("choose needs an item");
  } else if (l.Verb == "close") {
    if (!Trim(rest).empty()) throw bad("close takes nothing more");
  } else if (l.Verb == "message") {
    l.Value = Trim(rest);
    if (l.Value.empty()) throw bad("message needs a button");
  } else if (l.Verb == "folder") {
    l.Value = std::string(rest);
  } else if (l.Verb == "cancel-after") {
    l.Value = Trim(rest);
    int32_t n = 0;
    if (!TryStrToInt(l.Value, n) || n < 1) throw bad("cancel-after needs a count of 1 or more");
  } else {
    throw bad("unknown answer");
  }
  return l;
}

void TScriptedPresenter::LoadAnswers(std::string_view text, const std::string& source) {
  if (text.size() > kMaxAnswersBytes) throw EPresenterError(source + ": answers too long");
  TSection* current = nullptr;
  int lineNo = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == '#' || trimmed[0] == ';') continue;
    const std::string where = source + " line " + std::to_string(lineNo);
    if (trimmed.front() == '[') {
      if (trimmed.back() != ']' || trimmed.size() < 3)
        throw EPresenterError(where + ": a section is [name]");
      const std::string key = UpperCase(Trim(std::string_view(trimmed).substr(1, trimmed.size() - 2)));
      auto& list = sections_[key];
      list.push_back(TSection{key, {}});
      current = &list.back();
      continue;
    }
    if (!current) throw EPresenterError(where + ": an answer before the first [form] section");
    current->Lines.push_back(ParseLine(TrimLeft(line), where));
  }
}

void TScriptedPresenter::LoadAnswersFile(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) throw EPresenterError("Cannot open the answers file " + fileName);
  std::string text;
  char buf[4096];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    text.append(buf, static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxAnswersBytes) throw EPresenterError(fileName + ": answers too long");
  }
  LoadAnswers(text, fileName);
}

void TScriptedPresenter::AddAnswer(const std::string& answer) {
  const size_t colon = answer.find(':');
  if (colon == std::string::npos || colon == 0)
    throw EPresenterError("An answer is SECTION:LINE (" + answer + ")");
  const std::string key = UpperCase(Trim(std::string_view(answer).substr(0, colon)));
  auto& list = sections_[key];
  if (list.empty()) list.push_back(TSection{key, {}});
  list.back().Lines.push_back(ParseLine(Trim(std::string_view(answer).substr(colon + 1)), "--answer=" + answer));
}

void TScriptedPresenter::SetTranscriptFile(const std::string& fileName) {
  transcript_file_.open(fileName, std::ios::binary | std::ios::trunc);
  if (!transcript_file_) throw EPresenterError("Cannot write the transcript " + fileName);
}

void TScriptedPresenter::Note(std::string line) {
  if (transcript_file_.is_open()) {
    transcript_file_ << line << '\n';
    transcript_file_.flush();
  }
  transcript_.push_back(std::move(line));
}

// ---------------------------------------------------------------- forms

void TScriptedPresenter::FormShown(TCustomForm& form, bool modal) {
  Note("show " + FormTitle(form) + " '" + form.Caption() + "'" + (modal ? " modal" : ""));
  for (const TShownControl& s : ShownControls(form))
    Note("  " + (s.Control->Name().empty() ? s.Control->ClassName() : s.Control->Name()) + ": " + s.Text);
  if (modal) modal_stack_.push_back(&form);
  TActive active;
  for (const std::string& key : {UpperCase(form.Name()), UpperCase(form.ClassName())}) {
    auto it = sections_.find(key);
    if (key.empty() || it == sections_.end() || it->second.empty()) continue;
    active.Section = std::move(it->second.front());
    it->second.pop_front();
    active.HasSection = true;
    break;
  }
  auto& lines = active.Section.Lines;
  for (auto it = lines.begin(); it != lines.end();) {
    if (it->Verb == "cancel-after") {
      active.CancelAfter = StrToIntDef(it->Value, 0);
      it = lines.erase(it);
    } else {
      ++it;
    }
  }
  active_[&form] = std::move(active);
}

void TScriptedPresenter::FormHidden(TCustomForm& form) {
  Note("hide " + FormTitle(form));
  auto it = active_.find(&form);
  if (it != active_.end()) {
    if (!it->second.Section.Lines.empty())
      Note("  unused answers from " + it->second.Section.Lines.front().Where);
    active_.erase(it);
  }
  std::erase(modal_stack_, &form);
}

void TScriptedPresenter::FormGone(TCustomForm& form) {
  active_.erase(&form);
  std::erase(modal_stack_, &form);
  std::erase_if(pending_, [&](const TUserAction& a) { return a.Form == &form; });
}

void TScriptedPresenter::ControlGone(TControl& control) { positions_.erase(&control); }

void TScriptedPresenter::ControlChanged(TControl& control) {
  auto* bar = dynamic_cast<TProgressBar*>(&control);
  if (!bar) return;
  auto [it, fresh] = positions_.try_emplace(&control, bar->Min());
  if (!fresh && it->second == bar->Position()) return;
  if (fresh && bar->Position() == bar->Min()) return;
  const int before = it->second;
  it->second = bar->Position();
  (void)before;
  Note("progress " + (control.Name().empty() ? control.ClassName() : control.Name()) + " " +
       std::to_string(bar->Percent()) + "%");
  for (TCustomForm* f = control.HostingForm(); f; f = f->HostingForm()) {
    auto a = active_.find(f);
    if (a == active_.end() || a->second.CancelAfter == 0) continue;
    if (++a->second.Updates == a->second.CancelAfter) {
      Note("  cancel " + FormTitle(*f) + " after " + std::to_string(a->second.Updates) + " updates");
      pending_.push_back(CancelOf(*f));
    }
  }
}

// ---------------------------------------------------------------- answers

TScriptedPresenter::TActive* TScriptedPresenter::ActiveOf(TCustomForm* form) {
  auto it = active_.find(form);
  return it == active_.end() ? nullptr : &it->second;
}

TCustomForm* TScriptedPresenter::LookingAt() const {
  if (!modal_stack_.empty()) return &CurrentPage(*modal_stack_.back());
  if (TCustomForm* f = Screen().ActiveForm()) return &CurrentPage(*f);
  return nullptr;
}

TUserAction TScriptedPresenter::CancelOf(TCustomForm& form) const {
  TUserAction a;
  a.Form = &form;
  TControl* button = form.CancelButton();
  if (!button || button->Name().empty()) button = dynamic_cast<TControl*>(form.FindComponent("CancelBtn"));
  if (button && !button->Name().empty()) {
    a.Kind = TUserAction::uaClick;
    a.Form = FormOwning(*button);
    a.Control = button->Name();
  } else {
    a.Kind = TUserAction::uaClose;
  }
  return a;
}

TUserAction TScriptedPresenter::ActionOf(TCustomForm& form, const TLine& line) {
  TUserAction a;
  a.Form = &form;
  if (line.Verb == "close") {
    a.Kind = TUserAction::uaClose;
    return a;
  }
  a.Kind = line.Verb == "click"    ? TUserAction::uaClick
           : line.Verb == "check"  ? TUserAction::uaCheck
           : line.Verb == "choose" ? TUserAction::uaChoose
                                   : TUserAction::uaType;
  a.Control = line.Control;
  a.Value = line.Value;
  // The page's own controls first, then the form hosting it.
  TCustomForm& page = CurrentPage(form);
  if (page.FindComponent(line.Control))
    a.Form = &page;
  else if (auto* c = dynamic_cast<TControl*>(form.FindComponent(line.Control)))
    a.Form = FormOwning(*c) ? FormOwning(*c) : &form;
  return a;
}

void TScriptedPresenter::Unanswered(const TCustomForm& form, const std::string& what) const {
  throw EPresenterError("No answer for " + what + " of form " + FormTitle(form) + " '" + form.Caption() + "'");
}

TUserAction TScriptedPresenter::WaitAction(TCustomForm& form) {
  for (auto it = pending_.begin(); it != pending_.end(); ++it)
    if (it->Form == &form || form.ContainsControl(it->Form)) {
      TUserAction a = *it;
      pending_.erase(it);
      return a;
    }
  TCustomForm& page = CurrentPage(form);
  for (TCustomForm* f : {&page, &form}) {
    TActive* active = ActiveOf(f);
    if (!active || active->Section.Lines.empty()) continue;
    const TLine line = active->Section.Lines.front();
    if (line.Verb == "message" || line.Verb == "folder")
      throw EPresenterError(line.Where + ": the " + line.Verb + " answer waits for a " + line.Verb +
                            " that " + FormTitle(*f) + " did not show");
    active->Section.Lines.pop_front();
    active->Defaults = 0;
    Note("  > " + line.Verb + (line.Control.empty() ? "" : " " + line.Control) +
         (line.Value.empty() ? "" : " " + line.Value));
    return ActionOf(form, line);
  }
  if (strict_) Unanswered(page, "an action");
  TActive& active = active_[&form];
  if (++active.Defaults > kMaxDefaultAnswers)
    throw EPresenterError("Form " + FormTitle(form) + " '" + form.Caption() +
                          "' does not close on its default answer");
  TUserAction a;
  TControl* button = page.DefaultButton();
  if (!button) button = form.DefaultButton();
  if (button && !button->Name().empty()) {
    a.Kind = TUserAction::uaClick;
    a.Form = FormOwning(*button);
    a.Control = button->Name();
    Note("  > default click " + a.Control);
  } else {
    a.Kind = TUserAction::uaClose;
    a.Form = &form;
    Note("  > default close");
  }
  return a;
}

bool TScriptedPresenter::PendingAction(TUserAction& action) {
  if (pending_.empty()) return false;
  action = pending_.front();
  pending_.pop_front();
  return true;
}

int TScriptedPresenter::MessageBox(const std::string& text, const std::string& caption, int flags) {
  const std::vector<TMessageButton> buttons = MessageBoxButtons(flags);
  TCustomForm* looking = LookingAt();
  int answer = 0;
  for (TCustomForm* f = looking; f && !answer; f = f->HostingForm()) {
    TActive* active = ActiveOf(f);
    if (!active || active->Section.Lines.empty() || active->Section.Lines.front().Verb != "message") continue;
    const TLine line = active->Section.Lines.front();
    active->Section.Lines.pop_front();
    for (const TMessageButton& b : buttons)
      if (SameText(b.Name, line.Value)) answer = b.Id;
    if (!answer) throw EPresenterError(line.Where + ": the message box has no button " + line.Value);
  }
  if (!answer) {
    if (strict_) throw EPresenterError("No answer for the message box '" + caption + "': " + text);
    answer = MessageBoxDefault(flags);
  }
  std::string name;
  for (const TMessageButton& b : buttons)
    if (b.Id == answer) name = b.Name;
  Note("message '" + caption + "' '" + text + "' -> " + name);
  return answer;
}

bool TScriptedPresenter::BrowseForFolder(const std::string& title, std::string& path) {
  for (TCustomForm* f = LookingAt(); f; f = f->HostingForm()) {
    TActive* active = ActiveOf(f);
    if (!active || active->Section.Lines.empty() || active->Section.Lines.front().Verb != "folder") continue;
    const TLine line = active->Section.Lines.front();
    active->Section.Lines.pop_front();
    Note("folder '" + title + "' -> " + (line.Value.empty() ? "cancel" : line.Value));
    if (line.Value.empty()) return false;
    path = line.Value;
    return true;
  }
  if (strict_) throw EPresenterError("No answer for the folder browse '" + title + "'");
  Note("folder '" + title + "' -> " + path);
  return true;
}

}  // namespace host
