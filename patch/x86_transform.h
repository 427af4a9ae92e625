// The x86-64 ELF address transforms of patch format version 2. Between two
// releases of a program most of a patch would be spent on addresses: where
// code moves, every call and every RIP-relative reference across the move
// changes its displacement. Both transforms rewrite those fields
// (x86_elf_fields) so that moved code keeps its bytes. Frozen with the
// format: a patch made with either must apply the same way forever.
#pragma once

#include <cstddef>

// Each field becomes the absolute target it names, mod 2^32, in place. Only
// field bytes change, so x86_elf_untransform undoes it exactly on any input;
// anything not x86-64 ELF is left as it is.
void x86_elf_transform(unsigned char* data, size_t size);
void x86_elf_untransform(unsigned char* data, size_t size);

// The indexed form: each field holds its absolute target's index among the
// distinct targets of all fields, in increasing order, and those targets
// follow the file: the first, then each one's distance from the one before,
// as LEB128 numbers, then their count and the bytes the numbers take, each
// 32-bit little-endian. Where a release adds few targets, most fields keep
// their bytes however far the code and data moved.
//
// Rewrites the `*size` bytes at `data`, which has room for `room` bytes
// (x86_elf_index_room), and sets *size to the bytes it made. OK, or
// ERR_NO_MEMORY (the bytes then as they were).
int x86_elf_index(unsigned char* data, size_t* size, size_t room);
// Enough room for the indexed form of `size` bytes: each field lies in an
// instruction of five bytes at least, and each target takes five at most.
constexpr size_t x86_elf_index_room(size_t size) { return 2 * size + 8; }
// Undoes x86_elf_index in place and sets *size to the file's size. OK, or
// ERR_BAD_DATA when the bytes are not such a file (a malformed table, a
// field's index outside it; they are then partly rewritten), ERR_NO_MEMORY.
int x86_elf_unindex(unsigned char* data, size_t* size);
