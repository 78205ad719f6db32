// A reference to something callable, without owning it: the callee calls it while the call
// that was given it runs, and never keeps it. Cheaper than std::function (no allocation, no
// copy of the callable), and unlike a function pointer with a void* beside it, type-checked.
#pragma once

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace trovanex {

template <typename Signature>
class FunctionRef;

template <typename Result, typename... Args>
class FunctionRef<Result(Args...)> {
 public:
  // From any callable that outlives the reference (a lambda given as an argument does).
  template <typename Callable>
  requires(!std::is_same_v<std::remove_cvref_t<Callable>, FunctionRef> &&
           std::is_invocable_r_v<Result, Callable&, Args...>)
      FunctionRef(Callable&& callable)  // NOLINT: converts implicitly, as a function pointer would
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(callable)))),
        call_([](void* object, Args... args) -> Result {
          return std::invoke(*static_cast<std::remove_reference_t<Callable>*>(object),
                             std::forward<Args>(args)...);
        }) {}

  Result operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  void* object_;
  Result (*call_)(void*, Args...);
};

}  // namespace trovanex
