#pragma once
// A text arena: many small copies that live and die together (a settings
// file's header and body entries) taken from a few large blocks, so that a
// long settings file costs one allocation per block instead of one per line,
// and releasing them one walk over the blocks. May use src/base only;
// memory that runs out ends the run (fatal_reply).

#include <cstddef>

struct ArenaBlock;

// Zero-initialise: `TextArena arena{};`.
struct TextArena {
  ArenaBlock* blocks;  // the newest first
};

// A NUL-terminated copy of `length` bytes of `text` (no NUL among them),
// valid until arena_free. Never null.
char* arena_copy(TextArena* arena, const char* text, size_t length);

// Releases every copy and empties the arena.
void arena_free(TextArena* arena);
