// TWindowPresenter: the headless forms in real windows, on FLTK 1.3.
//
// Each top-level form that shows gets a window of its client size; every
// control in it (hosted pages included) gets a widget of its kind placed at
// the control's place in the form (window_model.h reads the controls). The
// widgets follow the controls lazily: a change marks the presenter dirty and
// the next wait or check brings every window up to date, rebuilding a
// window's widgets only when its controls were added, removed, moved to
// another parent or reordered. A user's input to a widget becomes a
// TUserAction queued for WaitAction (FLTK's wait loop) or PendingAction
// (FLTK's check, hence ProcessMessages); an action whose control is gone,
// hidden or disabled by the time it is taken is dropped. Progress bars are
// drawn at once when their percent changes, so that a long copy that never
// calls ProcessMessages still shows it.
//
// Enter and Escape where no widget takes them press the form's default and
// cancel buttons; closing the window closes the form. Controls that paint
// themselves (Paint on the recording canvas, a form's OnPaint) have their
// recorded operations replayed, rotated text included. Pictures are shown
// when they decode (bitmaps, PNG, JPEG), else as a frame. Texts are
// converted by the font's charset to UTF-8 and typed text back.
//
// The library registers the presenter as "window" when it is linked into a
// program (presenter.h): chosen when named, and preferred over the terminal
// when a display can be opened. It is an object library: a program links it
// itself (through a static library the linker would drop the registration).
#pragma once

#include <memory>
#include <string>

#include "host/forms/presenter.h"

namespace host {

// Whether an X display can be opened here; `why` says what failed.
bool WindowDisplayUsable(std::string& why);

struct TWindowPresenterImpl;

class TWindowPresenter : public TPresenter {
 public:
  // Raises EPresenterError when no display can be opened.
  TWindowPresenter();
  ~TWindowPresenter() override;
  TWindowPresenter(const TWindowPresenter&) = delete;
  TWindowPresenter& operator=(const TWindowPresenter&) = delete;

  void FormShown(TCustomForm& form, bool modal) override;
  void FormHidden(TCustomForm& form) override;
  void FormGone(TCustomForm& form) override;
  void ControlChanged(TControl& control) override;
  void ControlGone(TControl& control) override;
  TUserAction WaitAction(TCustomForm& form) override;
  bool PendingAction(TUserAction& action) override;
  int MessageBox(const std::string& text, const std::string& caption, int flags) override;
  bool BrowseForFolder(const std::string& title, std::string& path) override;

  // The X window showing the top-level form (0 when it shows none), brought
  // up to date first: for screenshots by window id and for tests that send
  // input to it.
  unsigned long WindowId(const TCustomForm& form);
  // Writes what the form's window shows as a binary PPM file; false when
  // the form shows no window or the file cannot be written.
  bool SaveScreenshot(const TCustomForm& form, const std::string& path);

 private:
  std::unique_ptr<TWindowPresenterImpl> impl_;
};

}  // namespace host
