// The x86-64 ELF address transform of patch format version 2: in the
// executable sections of an x86-64 ELF file, each E8 call's rel32 and each
// RIP-relative disp32 becomes the absolute target it names (mod 2^32), so
// that code which moved between two releases still refers to its targets
// with the same bytes. Frozen with the format: a patch made with it must
// apply the same way by every later updater.
#pragma once

#include <cstddef>

// Rewrites, in place, the fields of `size` bytes at `data` as above; any
// other input (not x86-64 ELF, no usable section table) is left as it is.
// Only displacement bytes change, never the headers or anything that decides
// an instruction's length, so x86_elf_untransform undoes it exactly on any
// input, whatever the decoder makes of it. Needs no memory and cannot fail.
void x86_elf_transform(unsigned char* data, size_t size);
void x86_elf_untransform(unsigned char* data, size_t size);

// Whether `size` bytes at `data` begin like an x86-64 ELF file (the
// transform may change them).
bool is_x86_64_elf(const unsigned char* data, size_t size);
