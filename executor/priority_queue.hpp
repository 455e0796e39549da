/* executor/priority_queue.hpp: the default priority queue of pending actions */
#pragma once

#include <nanobind/nanobind.h>

#include <deque>
#include <map>

namespace vemo {

namespace nb = nanobind;

/// Lower priority values leave first; equal priorities leave in the order they were added.
class PriorityQueue {
public:
    void add(nb::object item, long priority) {
        buckets_[priority].push_back(std::move(item));
        ++size_;
    }

    /// The item the next pop() returns, or None when the queue is empty.
    nb::object peek() const { return size_ ? buckets_.begin()->second.front() : nb::none(); }

    nb::object pop() {
        if (!size_)
            throw nb::index_error("VemoPriorityQueue.pop(): the queue is empty");
        auto first = buckets_.begin();
        nb::object item = std::move(first->second.front());
        first->second.pop_front();
        if (first->second.empty())
            buckets_.erase(first);
        --size_;
        return item;
    }

    size_t size() const { return size_; }

    template <class Visit>
    int traverse(Visit &&visit) const {
        for (const auto &bucket : buckets_)
            for (const nb::object &item : bucket.second)
                if (int rc = visit(item.ptr()))
                    return rc;
        return 0;
    }

    void clear() {
        buckets_.clear();
        size_ = 0;
    }

private:
    std::map<long, std::deque<nb::object>> buckets_;
    size_t size_ = 0;
};

} // namespace vemo
