// The address fields of an x86-64 ELF file, as the x86-64 transforms of
// patch format version 2 rewrite them: in the executable sections, each E8
// call's rel32 and each RIP-relative disp32. Frozen with the format: which
// fields are found must never change for a given file.
#pragma once

#include <cstddef>
#include <cstdint>

// Whether `size` bytes at `data` begin like an x86-64 ELF file.
bool is_x86_64_elf(const unsigned char* data, size_t size);

// Told of one field: its four bytes (little-endian) and the address of the
// instruction after it, which a relative target counts from.
using FieldVisit = void (*)(unsigned char* field, uint32_t next_address, void* context);

// Calls `visit` for each field of the `size` bytes at `data`, in file order;
// nothing for a file that is not x86-64 ELF or has no usable section table.
// Reads only the ELF header, the section table and the bytes that decide
// instruction lengths, never a field: `visit` may rewrite the field it is
// given without changing which fields are found.
void x86_elf_fields(unsigned char* data, size_t size, FieldVisit visit, void* context);
