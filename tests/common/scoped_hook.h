// Every test hook in src is a setter that returns the value it replaces; this puts that value
// back when the scope ends, also when a failed assertion leaves the test early, so that one test
// cannot leave its stand-in behind for the next.
#pragma once

#include <type_traits>
#include <utility>

template <typename Setter, typename Value> class ScopedHook {
public:
    ScopedHook(Setter set, Value value) : set_(set), previous_(set(std::move(value))) {}
    ~ScopedHook() { set_(std::move(previous_)); }
    ScopedHook(const ScopedHook&) = delete;
    ScopedHook& operator=(const ScopedHook&) = delete;

private:
    Setter set_;
    std::invoke_result_t<Setter, Value> previous_;
};
