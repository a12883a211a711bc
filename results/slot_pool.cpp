#include "results/slot_pool.h"

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

namespace parvolane {

namespace {

// Blocks are aligned to their own size, so that a slot finds its block by rounding down.
constexpr size_t kBlockSize = size_t{1} << 20;
// Slots hold records and rows, whose members need no more than a pointer's alignment; a
// stride of 136 bytes rather than 144 is 8 MB less for a million files.
constexpr size_t kSlotAlign = alignof(void*);
constexpr size_t kStride = (SlotPool::kSlotSize + kSlotAlign - 1) / kSlotAlign * kSlotAlign;

struct FreeSlot {
  FreeSlot* Next;
};

struct Block {
  FreeSlot* Free = nullptr;
  size_t Used = 0;
  size_t Fresh = 0;  // slots never handed out, from the first on
  Block* Prev = nullptr;
  Block* Next = nullptr;
};

constexpr size_t kFirstSlot = (sizeof(Block) + kSlotAlign - 1) / kSlotAlign * kSlotAlign;
constexpr size_t kSlotsPerBlock = (kBlockSize - kFirstSlot) / kStride;

// Blocks that have a slot to give, most recently used first.
struct Pool {
  std::mutex Lock;
  Block* Open = nullptr;
  size_t Blocks = 0;

  void Link(Block* block) {
    block->Prev = nullptr;
    block->Next = Open;
    if (Open != nullptr) Open->Prev = block;
    Open = block;
  }
  void Unlink(Block* block) {
    if (block->Prev != nullptr) block->Prev->Next = block->Next;
    if (block->Next != nullptr) block->Next->Prev = block->Prev;
    if (Open == block) Open = block->Next;
    block->Prev = block->Next = nullptr;
  }
  bool Full(const Block* block) const {
    return block->Free == nullptr && block->Fresh == kSlotsPerBlock;
  }
};

Pool& ThePool() {
  static Pool* pool = new Pool();  // never destroyed: slots may be given back during exit
  return *pool;
}

char* SlotAt(Block* block, size_t index) {
  return reinterpret_cast<char*>(block) + kFirstSlot + index * kStride;
}

}  // namespace

void* SlotPool::Take() {
  Pool& pool = ThePool();
  const std::lock_guard<std::mutex> hold(pool.Lock);
  Block* block = pool.Open;
  if (block == nullptr) {
    void* memory = std::aligned_alloc(kBlockSize, kBlockSize);
    if (memory == nullptr) throw std::bad_alloc();
    block = new (memory) Block();
    pool.Link(block);
    ++pool.Blocks;
  }
  void* slot = nullptr;
  if (block->Free != nullptr) {
    slot = block->Free;
    block->Free = block->Free->Next;
  } else {
    slot = SlotAt(block, block->Fresh++);
  }
  ++block->Used;
  if (pool.Full(block)) pool.Unlink(block);
  return slot;
}

void SlotPool::Give(void* slot) noexcept {
  if (slot == nullptr) return;
  Pool& pool = ThePool();
  const std::lock_guard<std::mutex> hold(pool.Lock);
  auto* block = reinterpret_cast<Block*>(reinterpret_cast<uintptr_t>(slot) & ~(kBlockSize - 1));
  const bool wasFull = pool.Full(block);
  block->Free = new (slot) FreeSlot{block->Free};
  --block->Used;
  if (wasFull) pool.Link(block);
  // An empty block goes back to the system, unless it is the last one: a single object made
  // and dropped again and again at a block's edge must not cost a block each time.
  if (block->Used == 0 && pool.Blocks > 1) {
    pool.Unlink(block);
    block->~Block();
    std::free(block);
    --pool.Blocks;
  }
}

size_t SlotPool::BlockCount() {
  Pool& pool = ThePool();
  const std::lock_guard<std::mutex> hold(pool.Lock);
  return pool.Blocks;
}

}  // namespace parvolane
