// A list that grows as items are added, for lists whose length only the input decides.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>

// Owns its items in one array, in the order they were added. Product code does without
// <vector>, which the FreeBSD compile check's header tree does not hold. The array doubles when
// full, so adding n items moves each item a bounded number of times on average. The items must
// be default-constructible and movable; the list moves, it is not copied.
template <typename T> class item_list {
public:
  void push_back(T item) {
    if (size_ == capacity_) {
      const std::size_t capacity = capacity_ == 0 ? 8 : capacity_ * 2;
      // Default-initialized, not zeroed: the pages of the room not used yet stay untouched.
      std::unique_ptr<T[]> items(new T[capacity]);
      for (std::size_t i = 0; i < size_; ++i) {
        items[i] = std::move(items_[i]);
      }
      items_ = std::move(items);
      capacity_ = capacity;
    }
    items_[size_++] = std::move(item);
  }
  // Empties the list, keeping its array for the next items.
  void clear() {
    for (std::size_t i = 0; i < size_; ++i) {
      items_[i] = T();
    }
    size_ = 0;
  }

  std::size_t size() const {
    return size_;
  }
  bool empty() const {
    return size_ == 0;
  }
  T& operator[](std::size_t i) {
    return items_[i];
  }
  const T& operator[](std::size_t i) const {
    return items_[i];
  }
  T* begin() {
    return items_.get();
  }
  T* end() {
    return items_.get() + size_;
  }
  const T* begin() const {
    return items_.get();
  }
  const T* end() const {
    return items_.get() + size_;
  }

private:
  std::unique_ptr<T[]> items_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};
