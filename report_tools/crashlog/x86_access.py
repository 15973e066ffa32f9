"""What memory an x86 instruction touches: its code bytes and the registers
in, read or write and the address out.

For the common memory instructions (mov, movzx/movsx, cmp, test, push, pop,
call and jmp through memory) the opcode tells whether it reads or writes,
and its operand with the registers gives the address. Anything else is left
unsaid rather than guessed. Knows nothing of crash logs.

Threads: none of its own; pure functions.
"""

from typing import Dict, Optional, Tuple

# Register numbers of the ModRM and SIB bytes.
REGISTERS = ("EAX", "ECX", "EDX", "EBX", "ESP", "EBP", "ESI", "EDI")
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
# mov with a 32-bit absolute address and no ModRM.
MOFFS_ACCESS = {0xA0: "read", 0xA1: "read", 0xA2: "write", 0xA3: "write"}


def _u32(data: bytes, at: int) -> Optional[int]:
    if at + 4 > len(data):
        return None
    return int.from_bytes(data[at : at + 4], "little")


def _s8(value: int) -> int:
    return value - 256 if value > 127 else value


def decode_access(code: bytes, registers: Dict[str, int]) -> Optional[Tuple[str, Optional[int]]]:
    """(\"read\" or \"write\", the address or None) of a memory instruction,
    or None when `code` is not one that this knows."""
    at = 0
    segment = False
    while at < len(code) and (code[at] in SEGMENT_PREFIXES or code[at] in OTHER_PREFIXES):
        if code[at] in SEGMENT_PREFIXES and code[at] != 0x3E:
            segment = True  # the segment's base is not in the log
        if code[at] == 0x67:
            return None  # 16-bit addressing: not decoded
        at += 1
    if at >= len(code):
        return None
    opcode = code[at]
    at += 1
    if opcode in MOFFS_ACCESS:
        address = _u32(code, at)
        if address is None:
            return None
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
    operand = _memory_operand(code, at, registers)
    if operand is None:
        return None
    known, address = operand
    return access, address if known and not segment else None


def _memory_operand(code: bytes, at: int, registers: Dict[str, int]):
    """(address known, address) of a ModRM memory operand; None for a
    register operand or bytes that end too early."""
    if at >= len(code):
        return None
    modrm = code[at]
    at += 1
    mod, rm = modrm >> 6, modrm & 7
    if mod == 3:
        return None
    known = True
    address = 0

    def register(number: int) -> int:
        nonlocal known
        value = registers.get(REGISTERS[number])
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
        if index != 4:
            address += register(index) << scale
        if base == 5 and mod == 0:
            displacement = _u32(code, at)
            if displacement is None:
                return None
            return known, (address + displacement) & 0xFFFFFFFF
        address += register(base)
    elif rm == 5 and mod == 0:
        displacement = _u32(code, at)
        if displacement is None:
            return None
        return True, displacement
    else:
        address += register(rm)
    if mod == 1:
        if at >= len(code):
            return None
        address += _s8(code[at])
    elif mod == 2:
        displacement = _u32(code, at)
        if displacement is None:
            return None
        address += displacement
    return known, address & 0xFFFFFFFF
