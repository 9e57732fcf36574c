// A non-owning reference to a callable, for functions that call back into
// their caller (the batch drivers, the worker team) without a template or
// an allocation.  The callable must outlive the reference.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace morvik3 {

template <class Signature>
class FunctionRef;

template <class R, class... A>
class FunctionRef<R(A...)> {
  public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> && std::is_invocable_r_v<R, F&, A...>)
    FunctionRef(F&& f)  // NOLINT(google-explicit-constructor)
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* o, A... a) -> R { return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<A>(a)...); }) {}

    R operator()(A... a) const { return call_(object_, std::forward<A>(a)...); }

  private:
    void* object_;
    R (*call_)(void*, A...);
};

}  // namespace morvik3
