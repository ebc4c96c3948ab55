// A heap-allocated unit of work with two operations: run (consumes it) and release (destroys it
// unrun).  Every kind of queued work is a WorkItem; queues move pointers to them.
//
// An item is freed in one way only: by its release operation, called by the destructor of the
// ItemPtr that owns it last.  Run is handed that owner: it frees the item by letting the owner go
// out of scope, or queues it again by moving the owner on.
#pragma once

#include <utility>

namespace quorlin {

struct WorkerContext;
struct WorkItem;
class ItemPtr;

struct WorkItemOps {
    // Runs the item on a worker; `item` owns it (freed at the end of the call unless moved on).
    void (*run)(ItemPtr item, const WorkerContext& context) noexcept;
    // Frees the item, releasing what it holds.
    void (*release)(WorkItem* item) noexcept;
};

// Concrete items derive from this and put their operations table first.
struct WorkItem {
    const WorkItemOps* ops;
};

// The one owner of an item: moved through every hand-off; releases an item nobody ran.
class ItemPtr {
public:
    ItemPtr() noexcept = default;
    explicit ItemPtr(WorkItem* item) noexcept : item_(item) {}
    ItemPtr(ItemPtr&& other) noexcept : item_(std::exchange(other.item_, nullptr)) {}
    ItemPtr& operator=(ItemPtr&& other) noexcept {
        if (this != &other) {
            reset();
            item_ = std::exchange(other.item_, nullptr);
        }
        return *this;
    }
    ItemPtr(const ItemPtr&) = delete;
    ItemPtr& operator=(const ItemPtr&) = delete;
    ~ItemPtr() { reset(); }

    [[nodiscard]] WorkItem* get() const noexcept { return item_; }
    [[nodiscard]] WorkItem* release() noexcept { return std::exchange(item_, nullptr); }
    explicit operator bool() const noexcept { return item_ != nullptr; }
    void reset() noexcept {
        if (WorkItem* item = std::exchange(item_, nullptr)) item->ops->release(item);
    }

    // Runs the item, handing over ownership to its run operation.
    void run(const WorkerContext& context) noexcept {
        const WorkItemOps* ops = item_->ops;
        ops->run(std::move(*this), context);
    }

    // The item as its concrete kind.
    template <class Kind>
    [[nodiscard]] Kind& as() const noexcept {
        return *static_cast<Kind*>(item_);
    }

private:
    WorkItem* item_ = nullptr;
};

}  // namespace quorlin
