#pragma once
// A value or an error, for operations whose failures are values rather than
// exceptions. std::expected is not in every toolchain we build with.

#include <utility>
#include <variant>

namespace rowmend {

template <class T, class E> class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

    explicit operator bool() const noexcept { return state_.index() == 0; }
    bool ok() const noexcept { return state_.index() == 0; }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    E& error() & { return std::get<1>(state_); }
    const E& error() const& { return std::get<1>(state_); }
    E&& error() && { return std::get<1>(std::move(state_)); }

  private:
    std::variant<T, E> state_;
};

} // namespace rowmend
