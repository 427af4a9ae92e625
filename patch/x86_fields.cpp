// Finding the address fields of an x86-64 ELF file: the section table gives
// the executable sections, and an instruction-length decoder walks each from
// its start. What the walk reads to decide anything (the ELF header, the
// section table, prefix, opcode, ModRM and SIB bytes) is never a field, so
// rewriting fields never changes which fields it finds.
#include "patch/x86_fields.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "base/byte_order.h"

namespace {

// One byte per opcode. Ordinary opcodes use the low six bits: the kind of
// immediate, whether a ModRM byte follows, and two special cases; the
// values from 0x40 up stand for bytes that are not an opcode themselves.
enum : uint8_t {
  kNoImm = 0,
  kImm8 = 1,
  kImm16 = 2,
  kImmZ = 3,      // 4 bytes, 2 with an operand-size prefix and no REX.W
  kImm16And8 = 4, // ENTER
  kMoffs = 5,     // an 8-byte address, 4 with an address-size prefix
  kImmV = 6,      // MOV r, imm: 8 bytes with REX.W, else as kImmZ
  kRel32 = 7,     // a branch displacement, always 4 bytes in 64-bit mode
  kImmMask = 7,
  kModrm = 8,
  kGroup3 = 16,   // TEST's immediate is there only when ModRM.reg is 0 or 1
  kCall = 32,     // E8: its rel32 is a field
  // Prefixes: kPrefix plus what they change (the immediate table's index).
  kPrefix = 0x40,
  kOperand16 = 1,
  kAddress32 = 2,
  kRexW = 4,
  kEscape = 0x48, // 0F
  kVex3 = 0x49,   // C4, always VEX in 64-bit mode
  kVex2 = 0x4A,   // C5, likewise
  kEvex = 0x4B,   // 62, likewise
};

constexpr bool is_prefix(uint8_t d) {
  return static_cast<uint8_t>(d - kPrefix) < kEscape - kPrefix;
}

struct OpcodeTable {
  uint8_t op[256];
};

// The one-byte opcode map as 64-bit mode decodes it. Opcodes invalid there
// keep whatever length costs least to state: a misread costs size only.
constexpr OpcodeTable one_byte_map() {
  OpcodeTable t{};
  for (int b = 0; b < 0x40; b++) {  // ALU ops: r/m forms, then AL and eAX with an immediate
    int low = b & 7;
    t.op[b] = low < 4 ? kModrm : low == 4 ? kImm8 : low == 5 ? kImmZ : kNoImm;
  }
  for (int b : {0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65, 0xF0, 0xF2, 0xF3}) t.op[b] = kPrefix;
  t.op[0x66] = kPrefix | kOperand16;
  t.op[0x67] = kPrefix | kAddress32;
  for (int b = 0x40; b < 0x50; b++) t.op[b] = kPrefix | (b & 8 ? kRexW : 0);  // REX
  t.op[0x0F] = kEscape;
  t.op[0x62] = kEvex;
  t.op[0x63] = kModrm;
  t.op[0x68] = kImmZ;
  t.op[0x69] = kModrm | kImmZ;
  t.op[0x6A] = kImm8;
  t.op[0x6B] = kModrm | kImm8;
  for (int b = 0x70; b < 0x80; b++) t.op[b] = kImm8;
  t.op[0x80] = t.op[0x82] = t.op[0x83] = kModrm | kImm8;
  t.op[0x81] = kModrm | kImmZ;
  for (int b = 0x84; b < 0x90; b++) t.op[b] = kModrm;
  for (int b = 0xA0; b < 0xA4; b++) t.op[b] = kMoffs;
  t.op[0xA8] = kImm8;
  t.op[0xA9] = kImmZ;
  for (int b = 0xB0; b < 0xB8; b++) t.op[b] = kImm8;
  for (int b = 0xB8; b < 0xC0; b++) t.op[b] = kImmV;
  t.op[0xC0] = t.op[0xC1] = t.op[0xC6] = kModrm | kImm8;
  t.op[0xC2] = t.op[0xCA] = kImm16;
  t.op[0xC4] = kVex3;
  t.op[0xC5] = kVex2;
  t.op[0xC7] = kModrm | kImmZ;
  t.op[0xC8] = kImm16And8;
  t.op[0xCD] = t.op[0xD4] = t.op[0xD5] = kImm8;
  for (int b = 0xD0; b < 0xD4; b++) t.op[b] = kModrm;
  for (int b = 0xD8; b < 0xE0; b++) t.op[b] = kModrm;
  for (int b = 0xE0; b < 0xE8; b++) t.op[b] = kImm8;
  t.op[0xE8] = kRel32 | kCall;
  t.op[0xE9] = kRel32;
  t.op[0xEB] = kImm8;
  t.op[0xF6] = kModrm | kGroup3 | kImm8;
  t.op[0xF7] = kModrm | kGroup3 | kImmZ;
  t.op[0xFE] = t.op[0xFF] = kModrm;
  return t;
}

// The opcodes after 0F: nearly all take a ModRM byte.
constexpr OpcodeTable two_byte_map() {
  OpcodeTable t{};
  for (int b = 0; b < 256; b++) t.op[b] = kModrm;
  for (int b : {0x05, 0x06, 0x07, 0x08, 0x09, 0x0B, 0x0E, 0x77, 0xA0, 0xA1, 0xA2, 0xA8, 0xA9, 0xAA})
    t.op[b] = kNoImm;
  for (int b = 0x30; b < 0x38; b++) t.op[b] = kNoImm;
  for (int b = 0xC8; b < 0xD0; b++) t.op[b] = kNoImm;
  for (int b = 0x80; b < 0x90; b++) t.op[b] = kRel32;
  for (int b : {0x0F, 0x70, 0x71, 0x72, 0x73, 0xA4, 0xAC, 0xBA, 0xC2, 0xC4, 0xC5, 0xC6})
    t.op[b] = kModrm | kImm8;
  return t;
}

constexpr OpcodeTable kOneByte = one_byte_map();
constexpr OpcodeTable kTwoByte = two_byte_map();
static_assert(kOneByte.op[0xE8] == (kRel32 | kCall) && kTwoByte.op[0x3A] == kModrm,
              "opcode maps built");

constexpr unsigned kMaxPrefixes = 14;  // an instruction is at most 15 bytes
// Bytes the decoder may read from an instruction's start: 13 prefixes, an
// EVEX prefix and the opcode, then eight bytes from the ModRM byte on.
constexpr size_t kReadAhead = 32;

// Immediate bytes by kind and by prefixes (bit 0 operand size, bit 1 address
// size, bit 2 REX.W).
struct ImmediateTable {
  uint8_t size[8][8];
};
constexpr ImmediateTable immediate_sizes() {
  ImmediateTable t{};
  for (int f = 0; f < 8; f++) {
    bool operand16 = f & 1, address32 = f & 2, rex_w = f & 4;
    uint8_t z = operand16 && !rex_w ? 2 : 4;
    uint8_t sizes[8] = {0, 1, 2, z, 3, static_cast<uint8_t>(address32 ? 4 : 8),
                        static_cast<uint8_t>(rex_w ? 8 : z), 4};
    for (int k = 0; k < 8; k++) t.size[k][f] = sizes[k];
  }
  return t;
}
constexpr ImmediateTable kImmediate = immediate_sizes();

// The bytes after a ModRM byte before any immediate: SIB and displacement
// (a SIB without base adds four more, told by the SIB byte itself).
struct ModrmTable {
  uint8_t tail[256];
};
constexpr ModrmTable modrm_tails() {
  ModrmTable t{};
  for (int m = 0; m < 256; m++) {
    int mod = m >> 6, rm = m & 7;
    if (mod == 3) continue;
    int displacement = mod == 1 ? 1 : mod == 2 ? 4 : rm == 5 ? 4 : 0;
    t.tail[m] = static_cast<uint8_t>((rm == 4 ? 1 : 0) + displacement);
  }
  return t;
}
constexpr ModrmTable kModrmTail = modrm_tails();

struct Instruction {
  uint32_t length;
  uint32_t field;  // offset of its 4-byte field, 0 for none
};

// Decodes the instruction at `p`, from which kReadAhead bytes may be read.
// What it returns depends only on bytes of the instruction (so one longer
// than the bytes left is told apart by its length alone) and none of its
// field. Inlined: the walk spends nearly all its time here.
__attribute__((always_inline)) inline Instruction decode(const unsigned char* p) {
  // Most instructions have no prefix or one (REX above all), about as
  // often: the first is taken without a branch. A REX byte counts only
  // right before the opcode, so a later prefix clears REX.W.
  uint64_t head = load_le64(p);
  uint8_t d0 = kOneByte.op[head & 0xFF], d1 = kOneByte.op[(head >> 8) & 0xFF];
  unsigned i = is_prefix(d0);
  unsigned prefixes = d0 & 7 & (0u - i);
  uint8_t d = static_cast<uint8_t>(d0 ^ ((d0 ^ d1) & (0u - i)));
  while (is_prefix(d)) {
    prefixes = (prefixes & (kOperand16 | kAddress32)) | (d & 7);
    if (++i == kMaxPrefixes) return {1, 0};  // not code: step over a byte
    d = kOneByte.op[p[i]];
  }
  i++;  // the opcode
  if (d == kEscape) {
    uint8_t b = p[i++];
    if (b == 0x38 || b == 0x3A) {
      i++;
      d = b == 0x38 ? kModrm : kModrm | kImm8;
    } else {
      d = kTwoByte.op[b];
    }
  } else if (d >= kVex3) {
    unsigned map = d == kVex2 ? 1 : p[i] & (d == kEvex ? 0x07 : 0x1F);
    bool vex = d != kEvex;
    i += d == kVex2 ? 1 : d == kVex3 ? 2 : 3;
    uint8_t b = p[i++];
    bool imm8 = map == 3 || (map == 1 && (kTwoByte.op[b] & kImmMask) == kImm8);
    d = map == 1 && vex && b == 0x77 ? kNoImm : kModrm | (imm8 ? kImm8 : kNoImm);
  }

  // Computed without branches where the choice is unpredictable: bytes
  // past the instruction may be read then, but are multiplied away.
  unsigned imm_size = kImmediate.size[d & kImmMask][prefixes];
  unsigned has_modrm = (d & kModrm) != 0;
  uint64_t rest = i < 6 ? head >> (8 * i) : load_le64(p + i);
  unsigned modrm = rest & 0xFF;
  unsigned form = modrm & 0xC7;
  uint32_t field = (has_modrm & (form == 0x05)) * (i + 1);  // RIP-relative disp32
  unsigned no_base = (form == 0x04) & (((rest >> 8) & 7) == 5);  // SIB without base: disp32
  unsigned no_imm = (has_modrm & ((d & kGroup3) != 0) & (((modrm >> 3) & 7) >= 2));
  i += has_modrm * (1 + kModrmTail.tail[modrm] + no_base * 4) + (imm_size & (no_imm - 1));
  field += ((d & kCall) != 0) * (i - 4);  // E8 has no ModRM: field was 0
  return {i, field};
}

struct CodeRange {
  size_t start, end;  // file offsets
  uint64_t address;   // where `start` is loaded
};
// Sections beyond this many are left alone: real programs have a handful.
constexpr size_t kMaxRanges = 64;

constexpr size_t kElfHeaderSize = 64;
constexpr size_t kSectionHeaderSize = 64;
constexpr uint32_t kSectionProgbits = 1;
constexpr uint64_t kSectionExecutable = 4;

// The executable sections of the file, by offset, without any that overlap
// the ELF header, the section table or an earlier range: the walk must read
// those bytes unchanged in both directions. Returns how many.
size_t code_ranges(const unsigned char* data, size_t size, CodeRange* ranges) {
  if (!is_x86_64_elf(data, size)) return 0;
  uint64_t table = load_le64(data + 0x28);
  unsigned entry_size = load_le16(data + 0x3A), count = load_le16(data + 0x3C);
  if (entry_size != kSectionHeaderSize || table < kElfHeaderSize || table > size ||
      count > (size - table) / kSectionHeaderSize)
    return 0;
  uint64_t table_end = table + uint64_t{count} * kSectionHeaderSize;
  size_t n = 0;
  for (unsigned k = 0; k < count && n < kMaxRanges; k++) {
    const unsigned char* s = data + table + k * kSectionHeaderSize;
    uint64_t offset = load_le64(s + 24), length = load_le64(s + 32);
    if (load_le32(s + 4) != kSectionProgbits || (load_le64(s + 8) & kSectionExecutable) == 0 ||
        offset < kElfHeaderSize || offset > size || length > size - offset || length == 0 ||
        (offset < table_end && offset + length > table))
      continue;
    // Insertion by offset; equal offsets keep table order.
    size_t at = n++;
    for (; at > 0 && ranges[at - 1].start > offset; at--) ranges[at] = ranges[at - 1];
    ranges[at] = {static_cast<size_t>(offset), static_cast<size_t>(offset + length),
                  load_le64(s + 16)};
  }
  size_t kept = 0;
  for (size_t k = 0; k < n; k++) {
    if (kept > 0 && ranges[k].start < ranges[kept - 1].end) continue;
    ranges[kept++] = ranges[k];
  }
  return kept;
}

}  // namespace

bool is_x86_64_elf(const unsigned char* data, size_t size) {
  constexpr unsigned char kIdent[] = {0x7F, 'E', 'L', 'F', 2 /* 64-bit */, 1 /* little-endian */};
  constexpr uint16_t kMachineX86_64 = 62;
  if (size < kElfHeaderSize) return false;
  for (size_t i = 0; i < sizeof kIdent; i++)
    if (data[i] != kIdent[i]) return false;
  return load_le16(data + 18) == kMachineX86_64;
}

void x86_elf_fields(unsigned char* data, size_t size, FieldVisit visit, void* context) {
  CodeRange ranges[kMaxRanges];
  size_t n = code_ranges(data, size, ranges);
  for (size_t r = 0; r < n; r++) {
    const CodeRange& range = ranges[r];
    for (size_t at = range.start; at < range.end;) {
      // Near the end the decoder reads a zero-padded copy: an instruction
      // that would reach past the end is left alone, by its length.
      const unsigned char* p = data + at;
      unsigned char tail[kReadAhead] = {};
      if (range.end - at < kReadAhead) {
        memcpy(tail, p, range.end - at);
        p = tail;
      }
      Instruction in = decode(p);
      if (in.length > range.end - at) break;
      if (in.field != 0) {
        // A target is relative to the next instruction's address.
        uint32_t next = static_cast<uint32_t>(range.address + (at - range.start) + in.length);
        visit(data + at + in.field, next, context);
      }
      at += in.length;
    }
  }
}
