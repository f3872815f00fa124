#include "base/arena.h"

#include <cstdlib>
#include <cstring>

#include "base/fatal.h"

namespace {

// Blocks of this size hold the usual entries; a longer text gets a block
// of its own.
constexpr size_t kArenaBlockSize = 16 * 1024;

}  // namespace

struct ArenaBlock {
  ArenaBlock* next;
  size_t used;
  size_t size;
  char data[1];
};

char* arena_copy(TextArena* arena, const char* text, size_t length) {
  size_t need = length + 1;
  ArenaBlock* block = arena->blocks;
  if (block == nullptr || block->size - block->used < need) {
    size_t size = need > kArenaBlockSize ? need : kArenaBlockSize;
    block = static_cast<ArenaBlock*>(malloc(offsetof(ArenaBlock, data) + size));
    if (block == nullptr) fatal_reply(kOutOfMemoryCopy);
    block->used = 0;
    block->size = size;
    // A block of its own for a long text goes behind the current one, so
    // that the room left in that one is still used.
    if (arena->blocks != nullptr && size > kArenaBlockSize) {
      block->next = arena->blocks->next;
      arena->blocks->next = block;
    } else {
      block->next = arena->blocks;
      arena->blocks = block;
    }
  }
  char* copy = block->data + block->used;
  memcpy(copy, text, length);
  copy[length] = '\0';
  block->used += need;
  return copy;
}

void arena_free(TextArena* arena) {
  ArenaBlock* block = arena->blocks;
  while (block != nullptr) {
    ArenaBlock* next = block->next;
    free(block);
    block = next;
  }
  arena->blocks = nullptr;
}
