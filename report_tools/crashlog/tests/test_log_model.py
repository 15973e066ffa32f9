"""The parsed log's own queries: the code bytes at an address, which the
access of a crash is decoded from."""

import pytest

from crashlog.log_model import CrashLog, MemoryDump

CODE = bytes(range(0x40, 0x60))  # 32 bytes at 00401000


@pytest.mark.parametrize(
    "address,count,expected",
    [
        (0x00401000, 15, CODE[:15]),
        (0x00401010, 4, CODE[16:20]),
        (0x00401019, 15, CODE[25:]),  # the dump ends first
        (0x0040101F, 15, CODE[31:]),
        (0x00401020, 15, b"\x90\x90"),  # past the first dump: the next one
        (0x00400FFF, 15, b""),  # before any dump
        (0x00401022, 15, b""),  # after the last
        (0x10000001, 15, b"\xAA"),  # the first dump that holds it wins
    ],
)
def test_code_bytes_come_from_the_dump_that_holds_the_address(address, count, expected):
    log = CrashLog(format="TAVRA-CRASHLOG V1", memory_dumps=[
        MemoryDump(0x00401000, CODE),
        MemoryDump(0x00401020, b"\x90\x90"),
        MemoryDump(0x10000000, b"\x00\xAA"),
        MemoryDump(0x10000000, b"\x00\xBB"),
    ])
    assert log.code_bytes(address, count) == expected
