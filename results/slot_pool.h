#pragma once

#include <cstddef>
#include <new>

namespace parvolane {

/// Memory for the small objects a scan makes by the million: the records of collected files
/// and the rows that list them. Every object takes one slot of the same size, so the slot a
/// record gives back as its row is made is the slot that row takes: a listing of a million
/// files needs no memory beside what its records held. A block of slots goes back to the
/// system once all its slots are free.
/// Threading: any thread (one lock).
class SlotPool final {
 public:
  /// The largest object a slot holds.
  static constexpr size_t kSlotSize = 136;

  /// A slot of kSlotSize bytes, aligned as a pointer is (no type that lives in slots needs
  /// more; each checks it). Errors: std::bad_alloc.
  static void* Take();
  /// Gives back a slot from Take (nullptr is ignored).
  static void Give(void* slot) noexcept;
  /// Blocks held now (for tests).
  static size_t BlockCount();
};

/// The operator new and delete of a type whose objects live in slots: a type that fits one
/// declares `static void* operator new(size_t size) { return TakeSlot(size); }` and
/// `static void operator delete(void* p, size_t size) noexcept { GiveSlot(p, size); }`.
/// Objects too large for a slot (a larger derived type) fall back to the global heap.
inline void* TakeSlot(size_t size) {
  return size <= SlotPool::kSlotSize ? SlotPool::Take() : ::operator new(size);
}
inline void GiveSlot(void* p, size_t size) noexcept {
  if (size <= SlotPool::kSlotSize) {
    SlotPool::Give(p);
  } else {
    ::operator delete(p);
  }
}

}  // namespace parvolane
