"""What memory an x86 or x86-64 instruction touches: its code bytes and the
registers in, read or write and the address out.

For the common memory instructions (mov, movzx/movsx, cmp, test, push, pop,
call and jmp through memory) the opcode tells whether it reads or writes,
and its operand with the registers gives the address. Anything else is left
unsaid rather than guessed. Knows nothing of crash logs.

x86-64 code is read as 64-bit code runs: a REX prefix (40..4F) just before
the opcode adds the registers R8 to R15, [disp32] with no base or index is
relative to the next instruction (whose start needs the length of the
immediate that follows the operand), a moffs address has 8 bytes, and the
FS and GS prefixes add a base that the log does not hold.

Threads: none of its own; pure functions.
"""

from typing import Dict, Optional, Tuple

from .architecture import X86, X86_64, Architecture

# Register numbers of the ModRM and SIB bytes.
REGISTERS = ("EAX", "ECX", "EDX", "EBX", "ESP", "EBP", "ESI", "EDI")
REGISTERS_64 = ("RAX", "RCX", "RDX", "RBX", "RSP", "RBP", "RSI", "RDI",
                "R8", "R9", "R10", "R11", "R12", "R13", "R14", "R15")
SEGMENT_PREFIXES = {0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65}
OTHER_PREFIXES = {0x66, 0x67, 0xF0, 0xF2, 0xF3}
# The longest x86 instruction: no more code bytes than this are looked at.
MAX_INSTRUCTION = 15

# One-byte opcodes with a ModRM memory operand: "read" or "write".
MODRM_ACCESS = {
    0x8B: "read", 0x8A: "read", 0x89: "write", 0x88: "write",
    0x3B: "read", 0x3A: "read", 0x39: "read", 0x38: "read",
    0x85: "read", 0x84: "read",
    0x03: "read", 0x02: "read", 0x2B: "read", 0x2A: "read", 0x23: "read", 0x22: "read",
    0x0B: "read", 0x0A: "read", 0x33: "read", 0x32: "read", 0x13: "read", 0x1B: "read",
}
# Two-byte opcodes (after 0F) with a ModRM memory operand.
MODRM_ACCESS_0F = {0xB6: "read", 0xB7: "read", 0xBE: "read", 0xBF: "read", 0xAF: "read"}
# Opcodes whose ModRM reg field picks the operation: {reg: access}.
GROUPS = {
    0xC7: {0: "write"},
    0xC6: {0: "write"},
    0x8F: {0: "write"},
    0xFF: {2: "read", 4: "read", 6: "read"},
    0x80: {7: "read"},
    0x81: {7: "read"},
    0x83: {7: "read"},
    0xF6: {0: "read"},
    0xF7: {0: "read", 6: "read", 7: "read"},
}
# mov with an absolute address (4 bytes, 8 in 64-bit code) and no ModRM.
MOFFS_ACCESS = {0xA0: "read", 0xA1: "read", 0xA2: "write", 0xA3: "write"}
# The immediate after the operand of the opcodes above that have one (the
# ModRM group's reg field picks it for F6 and F7), in bytes; 4 becomes 2
# after an operand-size prefix. Only RIP-relative addresses need it.
IMMEDIATES = {0xC7: 4, 0xC6: 1, 0x80: 1, 0x81: 4, 0x83: 1}
GROUP_IMMEDIATES = {0xF6: {0: 1}, 0xF7: {0: 4}}


def _u32(data: bytes, at: int) -> Optional[int]:
    if at + 4 > len(data):
        return None
    return int.from_bytes(data[at : at + 4], "little")


def _s8(value: int) -> int:
    return value - 256 if value > 127 else value


def decode_access(
    code: bytes, registers: Dict[str, int], arch: Architecture = X86
) -> Optional[Tuple[str, Optional[int]]]:
    """(\"read\" or \"write\", the address or None) of a memory instruction,
    or None when `code` is not one that this knows."""
    wide = arch is X86_64
    at = 0
    segment = False
    operand_size = False
    while at < len(code) and (code[at] in SEGMENT_PREFIXES or code[at] in OTHER_PREFIXES):
        # In 64-bit code only FS and GS have a base; it is not in the log.
        if code[at] in SEGMENT_PREFIXES and code[at] != 0x3E and (
            not wide or code[at] in (0x64, 0x65)
        ):
            segment = True
        if code[at] == 0x67:
            return None  # 16-bit (32-bit in 64-bit code) addressing: not decoded
        operand_size = operand_size or code[at] == 0x66
        at += 1
    rex = 0
    if wide and at < len(code) and 0x40 <= code[at] <= 0x4F:
        rex = code[at]
        at += 1
    if at >= len(code):
        return None
    opcode = code[at]
    at += 1
    if opcode in MOFFS_ACCESS:
        size = 8 if wide else 4
        if at + size > len(code):
            return None
        address = int.from_bytes(code[at : at + size], "little")
        return MOFFS_ACCESS[opcode], None if segment else address
    if opcode == 0x0F:
        if at >= len(code) or code[at] not in MODRM_ACCESS_0F:
            return None
        access = MODRM_ACCESS_0F[code[at]]
        at += 1
    elif opcode in MODRM_ACCESS:
        access = MODRM_ACCESS[opcode]
    elif opcode in GROUPS:
        if at >= len(code):
            return None
        access = GROUPS[opcode].get((code[at] >> 3) & 7)
        if access is None:
            return None
    else:
        return None
    immediate = IMMEDIATES.get(opcode, 0)
    if opcode in GROUP_IMMEDIATES:
        immediate = GROUP_IMMEDIATES[opcode].get((code[at] >> 3) & 7, 0)
    if immediate == 4 and operand_size:
        immediate = 2
    operand = _memory_operand(code, at, registers, arch, rex, immediate)
    if operand is None:
        return None
    known, address = operand
    return access, address if known and not segment else None


def _memory_operand(code: bytes, at: int, registers: Dict[str, int], arch: Architecture,
                    rex: int, immediate: int):
    """(address known, address) of a ModRM memory operand; None for a
    register operand or bytes that end too early. `immediate` is the length
    of the immediate after the operand (for a RIP-relative address)."""
    if at >= len(code):
        return None
    wide = arch is X86_64
    names = REGISTERS_64 if wide else REGISTERS
    limit = arch.address_limit
    modrm = code[at]
    at += 1
    mod, rm = modrm >> 6, modrm & 7
    if mod == 3:
        return None
    known = True
    address = 0

    def register(number: int) -> int:
        nonlocal known
        value = registers.get(names[number])
        if value is None:
            known = False
            return 0
        return value

    if rm == 4:
        if at >= len(code):
            return None
        sib = code[at]
        at += 1
        scale, index, base = sib >> 6, (sib >> 3) & 7, sib & 7
        index |= 8 if rex & 0x2 else 0  # REX.X
        if index != 4:
            address += register(index) << scale
        if base == 5 and mod == 0:
            displacement = _u32(code, at)
            if displacement is None:
                return None
            if wide:  # sign-extended to 64 bits
                displacement = _signed32(displacement)
            return known, (address + displacement) % limit
        address += register(base | (8 if rex & 0x1 else 0))  # REX.B
    elif rm == 5 and mod == 0:
        displacement = _u32(code, at)
        if displacement is None:
            return None
        if not wide:
            return True, displacement
        # RIP-relative: from the end of this instruction.
        end = at + 4 + immediate
        if end > len(code) or end > MAX_INSTRUCTION:
            return None
        rip = registers.get(arch.instruction_pointer)
        if rip is None:
            return False, 0
        return True, (rip + end + _signed32(displacement)) % limit
    else:
        address += register(rm | (8 if rex & 0x1 else 0))
    if mod == 1:
        if at >= len(code):
            return None
        address += _s8(code[at])
    elif mod == 2:
        displacement = _u32(code, at)
        if displacement is None:
            return None
        address += _signed32(displacement) if wide else displacement
    return known, address % limit


def _signed32(value: int) -> int:
    return value - (1 << 32) if value & 0x80000000 else value
