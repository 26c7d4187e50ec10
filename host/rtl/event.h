// TEvent: the value of an event property (OnClick, OnChange): a handler,
// and the name of the method it was bound to when a component's text named
// one (host/classes/component_text.h), so that the text can be written back.
// A handler set in code has no name and is not written.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>

namespace host {

// Calling an empty event does nothing and returns R().
template <class Sig>
class TEvent;
template <class R, class... A>
class TEvent<R(A...)> {
 public:
  using Signature = R(A...);
  TEvent() = default;
  TEvent(std::nullptr_t) {}  // NOLINT: clears an event
  TEvent(std::function<R(A...)> handler, std::string methodName = std::string())
      : handler_(std::move(handler)), method_name_(std::move(methodName)) {}
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, TEvent> &&
                                              std::is_invocable_r_v<R, F, A...>>>
  TEvent(F handler) : handler_(std::move(handler)) {}  // NOLINT: a lambda is an event

  explicit operator bool() const { return static_cast<bool>(handler_); }
  R operator()(A... args) const {
    if (!handler_) return R();
    return handler_(std::forward<A>(args)...);
  }
  const std::string& MethodName() const { return method_name_; }

 private:
  std::function<R(A...)> handler_;
  std::string method_name_;
};

class TObject;
// The event of most controls and lists: the sender only.
using TNotifyEvent = TEvent<void(TObject* Sender)>;

}  // namespace host
