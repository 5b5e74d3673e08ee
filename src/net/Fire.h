#pragma once
// Firing a component's event handler from inside one of the component's own calls.
#include <QScopeGuard>

#include <memory>
#include <utility>

// Calls the handler in Slot from a local that holds it for the duration of the call: the handler
// may destroy the component, and with it the slot it was called from (and its own captures). A
// move, so firing allocates nothing, which matters for the per-block packet event. While the
// handler runs its slot is empty; afterwards it is put back unless the component is gone or the
// handler assigned a new one. Alive is the component's liveness token, taken by value: the
// component's own copy dies with it. Returns false when the component is gone afterwards.
template <typename Slot, typename... Args>
bool Fire(Slot& slot, std::shared_ptr<const bool> alive, Args&&... args) {
    Slot handler = std::move(slot);
    slot = nullptr;
    auto restore = qScopeGuard([&] {
        if (*alive && !slot)
            slot = std::move(handler);
    });
    handler(std::forward<Args>(args)...);
    return *alive;
}
