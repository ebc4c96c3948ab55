// A heap-allocated unit of work with two operations: run (consumes it) and release (destroys it
// unrun).  Every kind of queued work is a WorkItem; queues move pointers to them.
#pragma once

#include <utility>

namespace quorlin {

struct WorkerContext;
struct WorkItem;

struct WorkItemOps {
    // Runs the item on a worker; the item is consumed (freed or queued again).
    void (*run)(WorkItem* item, const WorkerContext& context) noexcept;
    // Frees the item without running it, releasing what it holds.
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
        WorkItem* item = std::exchange(item_, nullptr);
        item->ops->run(item, context);
    }

private:
    WorkItem* item_ = nullptr;
};

}  // namespace quorlin
