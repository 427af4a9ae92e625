// A small x86-64 ELF file around any bytes, for the transforms' tests and
// fuzz targets: its header, `code` as one executable section loaded at
// 0x401000 (file offset 64), and the section table. The fuzzer then reaches
// the instruction decoder with every byte sequence without first having to
// find an ELF header and a section table that agree.
#pragma once

#include <cstdint>
#include <string>

inline std::string elf_around(const std::string& code) {
  auto le = [](uint64_t v, int n) {
    std::string s;
    for (int i = 0; i < n; i++) s.push_back(static_cast<char>(v >> (8 * i)));
    return s;
  };
  std::string header = std::string("\x7f" "ELF\x02\x01\x01", 7) + std::string(9, '\0') + le(2, 2) +
                       le(62, 2) + le(1, 4) + le(0x401000, 8) + le(0, 8) + le(64 + code.size(), 8) +
                       le(0, 4) + le(64, 2) + le(0, 2) + le(0, 2) + le(64, 2) + le(2, 2) + le(0, 2);
  std::string text = le(0, 4) + le(1, 4) + le(6, 8) + le(0x401000, 8) + le(64, 8) +
                     le(code.size(), 8) + std::string(24, '\0');
  return header + code + std::string(64, '\0') + text;
}
